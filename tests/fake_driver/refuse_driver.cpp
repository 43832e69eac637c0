// A driver that refuses every connection, as an FTP server refuses a login.
#include "drivers/storage_api.h"

extern "C" {

storage_handle storage_connect(const char*) { return 0; }
void storage_disconnect(storage_handle) {}
storage_result storage_upload(storage_handle, const char*, const char*) { return STORAGE_FAILURE; }
storage_result storage_download(storage_handle, const char*, const char*) {
  return STORAGE_FAILURE;
}
storage_result storage_file_exists(storage_handle, const char*) { return STORAGE_FAILURE; }
}
