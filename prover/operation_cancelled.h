#pragma once

#include <exception>

// Stored in a job that was cancelled, and thrown to whoever waits for it.
class OperationCancelled : public std::exception {};
