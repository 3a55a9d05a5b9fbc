// The name of the per-executable mutex: two SHA-1 digests of the executable's
// path in lower-case hexadecimal. The digest itself is the platform's (sha1).
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/report.h"
#include "proc/proc_internal.h"

int generate_hash_string(const char *text, char **out_str, int *out_len) {
    if (text == nullptr || out_str == nullptr || out_len == nullptr) {
        KEEL_INFO("text == NULL || out_str == NULL || out_len == NULL");
        return 0;
    }
    unsigned char *hash = nullptr;
    int hash_len = 0;
    int result = keel::proc::sha1(text, strlen(text), &hash, &hash_len) ? 1 : 0;
    if (result == 1) {
        auto *hex = static_cast<char *>(calloc(static_cast<size_t>(hash_len) * 2 + 1, 1));
        if (hex == nullptr) KEEL_FATAL("generate_hash_string calloc failed");
        static const char kDigits[] = "0123456789abcdef";
        for (int i = 0; i < hash_len; ++i) {
            hex[2 * i] = kDigits[hash[i] >> 4];
            hex[2 * i + 1] = kDigits[hash[i] & 0xF];
        }
        *out_str = hex;
        *out_len = hash_len * 2;
    }
    free(hash);
    return result;
}

char *proc_mutex_name(const char *exe_path) {
    if (exe_path == nullptr) {
        KEEL_INFO("exe_path == NULL");
        return nullptr;
    }
    // The path and its two-character suffix; PATH_MAX bounds the path that
    // read_exe_path gives.
    char proc_str1[PATH_MAX + 3] = {0};
    char proc_str2[PATH_MAX + 3] = {0};
    snprintf(proc_str1, sizeof proc_str1, "%s:0", exe_path);
    snprintf(proc_str2, sizeof proc_str2, "%s:1", exe_path);
    char *hash1 = nullptr, *hash2 = nullptr, *name = nullptr;
    int len1 = 0, len2 = 0;
    if (!generate_hash_string(proc_str1, &hash1, &len1)) {
        KEEL_INFO("os_get_proc_mutex first generate_hash_string failed, proc_str1:%s", proc_str1);
    } else if (!generate_hash_string(proc_str2, &hash2, &len2)) {
        KEEL_INFO("os_get_proc_mutex second generate_hash_string failed, proc_str2:%s", proc_str2);
    } else {
        size_t size = static_cast<size_t>(len1) + static_cast<size_t>(len2) + 260;
        name = static_cast<char *>(calloc(size, 1));
        if (name == nullptr) KEEL_FATAL("os_get_proc_mutex calloc failed");
        snprintf(name, size, "%s_%s_mutex", hash1, hash2);
    }
    free(hash1);
    free(hash2);
    return name;
}
