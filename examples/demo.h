/* The demo's sections that live in files of their own. */
#ifndef KEEL_DEMO_H
#define KEEL_DEMO_H

/* Addresses, hexadecimal text, a charset conversion, the per-executable mutex
 * and a child process. */
void demo_services(void);

#endif /* KEEL_DEMO_H */
