/* The demo's sections, one per family of the library. */
#ifndef KEEL_DEMO_H
#define KEEL_DEMO_H

/* Prints a section heading, after whatever the library wrote so far. */
void demo_section(const char *title);

/* A ring buffer under both write policies and a hash table at work. */
void demo_containers(void);
/* Functions posted from several threads and a timer on the main thread. */
void demo_runtime(void);
/* Addresses, hexadecimal text, a charset conversion, the per-executable mutex
 * and a child process. */
void demo_services(void);

/* The echo server of echo_server.c as a child process, and a client's round trips. */
void demo_tcp(void);

/* Lines that also reach a dated log file, and where that file lies. */
void demo_logfiles(void);

#endif /* KEEL_DEMO_H */
