#pragma once

// Echo of the terminal on standard input, switched off while a password is typed.

// Returns false (and changes nothing) when standard input is not a terminal.
bool SwitchTerminalEchoOff();
// Switches echo back on; safe inside a signal handler.
void RestoreTerminalEcho();
// Whether SwitchTerminalEchoOff left echo off and it has not been restored since.
bool TerminalEchoSwitchedOff();
