/* The demo's services section: an address check, a hex round trip, a charset
 * conversion, the per-executable mutex and a child process. */
#include <stdio.h>
#include <string.h>

#include "demo.h"
#include "keel.h"

/* A child that ends at once with exit code 3. */
#ifdef _WIN32
#define CHILD_COMMAND "cmd /c exit 3"
#else
#define CHILD_COMMAND "sh -c \"exit 3\""
#endif

void demo_services(void) {
    fflush(stderr);
    demo_section("addresses, text, the process mutex and a child process");
    fflush(stdout);
    log_start(0, LOG_LEVEL_ERROR + 1); /* keep the section to its own lines */

    const char *addrs[] = {"192.168.1.10", "fe80::1%3", "not-an-address"};
    for (int i = 0; i < 3; ++i) printf("ip type of %-15s %d\n", addrs[i], os_get_ip_type(addrs[i]));
    printf("1.2.3.4 in host order: 0x%08x\n", os_inet_ip_to_host_byte("1.2.3.4"));

    const unsigned char bytes[] = {0x00, 0xAB, 0xFF};
    char hex[7];
    unsigned char back[3];
    os_encode(bytes, 3, hex);
    os_decode(hex, 6, back);
    printf("hex of 00 ab ff: %s, back: %s\n", hex, memcmp(back, bytes, 3) == 0 ? "same" : "different");

    const char *utf8 = "\xe4\xb8\xad\xe6\x96\x87";
    char gbk[32] = {0};
    int n = os_code_convert("UTF-8", "GBK", gbk, sizeof gbk, utf8, (uint32_t)strlen(utf8));
    printf("\"%s\" from UTF-8 to GBK: %d bytes:", utf8, n);
    for (int i = 0; i < n; ++i) printf(" %02x", (unsigned char)gbk[i]);
    printf("\n");

    log_start(0, LOG_LEVEL_ERROR); /* the mutex reports name the lock */
    int first = os_get_proc_mutex();
    int again = os_get_proc_mutex();
    log_start(0, LOG_LEVEL_ERROR + 1);
    printf("process mutex: first call %d (took it), second call %d (already held)\n", first, again);

    os_proc_t *child = os_exec_process_ex(CHILD_COMMAND);
    int running = 1;
    for (int i = 0; i < 500 && running; ++i) {
        running = os_exec_query(child);
        if (running) os_sleep(10);
    }
    printf("child '%s' %s with code %d\n", CHILD_COMMAND, running ? "still runs" : "ended",
           child != NULL ? child->exit_code : -1);
    os_exec_destroy(child);
    log_start(0, LOG_LEVEL_DEBUG);
}
