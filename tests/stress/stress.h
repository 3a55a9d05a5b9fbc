// The parts of the stress program and what they share.
#pragma once

#include <functional>

// Each part returns 0 when everything held, 1 after printing what did not.
int tcp_stress(double seconds, int connections);
int log_stress(int threads, int lines);
int serial_stress(int runs);

int fail(const char *what);
int descriptor_count();
// Polls done until it holds or `seconds` pass.
bool wait_for(const std::function<bool()> &done, double seconds);
