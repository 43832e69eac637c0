// A driver that lacks storage_file_exists: the binding must refuse it before connecting.
#include "drivers/storage_api.h"

extern "C" {

storage_handle storage_connect(const char*) { return 1; }
void storage_disconnect(storage_handle) {}
storage_result storage_upload(storage_handle, const char*, const char*) { return STORAGE_DONE; }
storage_result storage_download(storage_handle, const char*, const char*) { return STORAGE_DONE; }
}
