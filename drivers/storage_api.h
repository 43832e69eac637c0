/* The boundary between kvcs and a storage driver library: five plain C functions, texts as
   zero-terminated UTF-8 owned by the caller, an unsigned handle and fixed result codes. Both
   sides compile against this one header so that they cannot drift apart. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Names one open connection of one library: slot index + 1; 0 means no connection. */
typedef uint32_t storage_handle;
typedef int32_t storage_result;

/* Result codes. Their values are fixed: both sides of the boundary rely on them. */
enum {
  STORAGE_DONE = 0,    /* done; for storage_file_exists: absent */
  STORAGE_NOTHING = 1, /* nothing copied (source missing, target stored); exists: present */
  STORAGE_FAILURE = 99 /* failure, or a handle that names no open connection */
};

#define KESTRUN_EXPORT __attribute__((visibility("default")))

typedef storage_handle (*storage_connect_fn)(const char* link);
typedef void (*storage_disconnect_fn)(storage_handle handle);
typedef storage_result (*storage_upload_fn)(storage_handle handle, const char* local_path,
                                            const char* remote_name);
typedef storage_result (*storage_download_fn)(storage_handle handle, const char* remote_name,
                                              const char* local_path);
typedef storage_result (*storage_file_exists_fn)(storage_handle handle, const char* remote_name);

/* Declarations for the drivers themselves; kvcs binds the same names through dlsym. */
KESTRUN_EXPORT storage_handle storage_connect(const char* link);
KESTRUN_EXPORT void storage_disconnect(storage_handle handle);
KESTRUN_EXPORT storage_result storage_upload(storage_handle handle, const char* local_path,
                                             const char* remote_name);
KESTRUN_EXPORT storage_result storage_download(storage_handle handle, const char* remote_name,
                                               const char* local_path);
KESTRUN_EXPORT storage_result storage_file_exists(storage_handle handle, const char* remote_name);

#ifdef __cplusplus
}
#endif
