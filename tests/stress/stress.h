// The parts of the stress program; what they share with the tests is in
// tests/net_support.h.
#pragma once

// Each part returns 0 when everything held, 1 after printing what did not.
int tcp_stress(double seconds, int connections);
int udp_stress(double seconds);
int log_stress(int threads, int lines);
int serial_stress(int runs);

int fail(const char *what);

// Sleeps for `ms` and returns the CPU time the whole process spent meanwhile:
// an idle library that spins shows in it.
double idle_cpu_ms(int ms);
