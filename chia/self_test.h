#pragma once
// Known-answer checks of the cryptographic building blocks, run on request (--internal-tests).
// A wrong answer means a broken build: the process writes "runtime assertion" and aborts.
// OpenSSL failures are thrown as std::runtime_error.

void RunSelfTest();
void SelfTestPlotKeys();
void SelfTestRsa();

// Aborts with "runtime assertion" on standard error when ok is false.
void SelfTestAssert(bool ok);
