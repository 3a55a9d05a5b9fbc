/* Sections of the demo that live in files of their own. */
#ifndef KEEL_DEMO_H
#define KEEL_DEMO_H

/* A ring buffer under both write policies and a hash table at work. */
void demo_containers(void);

#endif /* KEEL_DEMO_H */
