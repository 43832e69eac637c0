// The exports of kellar-fs: the five C functions of storage_api.h over the folder driver.
#include "drivers/fs/folder_driver.h"
#include "drivers/storage_api.h"

extern "C" {

storage_handle storage_connect(const char* link) { return kestrun::folder_driver::connect(link); }

void storage_disconnect(storage_handle handle) { kestrun::folder_driver::disconnect(handle); }

storage_result storage_upload(storage_handle handle, const char* local_path,
                              const char* remote_name) {
  return kestrun::folder_driver::upload(handle, local_path, remote_name);
}

storage_result storage_download(storage_handle handle, const char* remote_name,
                                const char* local_path) {
  return kestrun::folder_driver::download(handle, remote_name, local_path);
}

storage_result storage_file_exists(storage_handle handle, const char* remote_name) {
  return kestrun::folder_driver::file_exists(handle, remote_name);
}
}
