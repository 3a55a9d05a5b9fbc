/* The demo's sections, one per family of the library. */
#ifndef KEEL_DEMO_H
#define KEEL_DEMO_H

void demo_section(const char *title);
void demo_runtime(void);

#endif
