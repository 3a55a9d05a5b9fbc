#!/usr/bin/env bash
# Fails when libkeel.so exports anything but the library's C interface, or
# lacks a function every build must export.
set -eu
# Sanitizer builds add their own bookkeeping symbols; they are not ours.
ours=$(nm -D --defined-only "$1" | awk '$2 ~ /^[TtWwDdBbRrVv]$/ {print $3}' |
  grep -v -E '^(__asan|__odr_asan|__ubsan|__sanitizer|_init$|_fini$|_edata$|_end$|__bss_start$)' || true)
stray=$(grep -v -E '^_?(os_|log_|err_|adt_dlist_|hash_|ringbuf_)|^get_valid_addr$' <<<"$ours" || true)
[ -z "$stray" ] || { printf 'unexpected exported symbols:\n%s\n' "$stray"; exit 1; }
for required in log_debug_ex log_msg _log_msg os_mutex_lock os_thread_create os_native_condition_wait \
                get_valid_addr os_ip_cmp os_exec_process_ex os_get_proc_mutex os_code_convert \
                os_startup os_post_func os_timer_create adt_dlist_create ringbuf_create hash_create log_set_path \
                os_tcp_server_open os_tcp_server_bind_accept os_tcp_client_open os_tcp_client_set_refuse_read \
                os_udp_client_open os_udp_client_set_multicast os_udp_client_connect_remote os_comm_client_open; do
  grep -qx "$required" <<<"$ours" || { echo "missing export: $required"; exit 1; }
done
echo "exports ok: $(wc -l <<<"$ours") symbols"
