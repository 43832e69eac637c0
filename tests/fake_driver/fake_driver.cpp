// A scripted driver for the binding's tests. The connection text names a journal file; every
// call appends one line to it ("connect <text>", "upload <handle> <local> <remote>", ...). The
// file operations answer the number after the last '#' of the remote name (0 without one).
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "drivers/storage_api.h"

namespace {

std::string journal;  // the file named by the last connect

void note(const std::string& line) {
  std::ofstream out(journal, std::ios::app);
  out << line << '\n';
}

storage_result scripted(const char* remote_name) {
  const char* mark = std::strrchr(remote_name, '#');
  return mark == nullptr ? 0 : static_cast<storage_result>(std::atoi(mark + 1));
}

}  // namespace

extern "C" {

storage_handle storage_connect(const char* link) {
  journal = link;
  note(std::string("connect ") + link);
  return 7;  // not 1, so that a test sees the handle travel
}

void storage_disconnect(storage_handle handle) { note("disconnect " + std::to_string(handle)); }

storage_result storage_upload(storage_handle handle, const char* local_path,
                              const char* remote_name) {
  note("upload " + std::to_string(handle) + " " + local_path + " " + remote_name);
  return scripted(remote_name);
}

storage_result storage_download(storage_handle handle, const char* remote_name,
                                const char* local_path) {
  note("download " + std::to_string(handle) + " " + remote_name + " " + local_path);
  return scripted(remote_name);
}

storage_result storage_file_exists(storage_handle handle, const char* remote_name) {
  note("file_exists " + std::to_string(handle) + " " + remote_name);
  return scripted(remote_name);
}
}
