#pragma once

// The pool client thread body: it serves the pool session until the Client is finished, then
// returns.
//
// Stand-in until the pool connection exists: it opens no socket and only runs the update step
// and the finished check once per receive timeout (3 s) of the real connection.
void PoolClientMain();
