// A scripted driver for the binding's tests. The connection text names a journal file; every
// call appends one line to it ("connect <text>", "upload <handle> <local> <remote>", ...). The
// file operations answer the number after the last '#' of the remote name (0 without one).
//
// After a '|' the connection text may script what a storage that misbehaves does, as
// ';'-separated options: "refuse=2+3" turns away the 2nd and 3rd connect made since the text was
// last seen (as an FTP server full of users does), "exists=1+0+99" gives the answers of the first
// storage_file_exists calls in turn (the '#' rule answers the later ones). The journal is the
// text before the '|'.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "drivers/storage_api.h"

namespace {

std::string connection;  // the text of the last connect
std::string journal;     // the file it names
std::vector<unsigned> refused;
std::vector<storage_result> exists_answers;
unsigned connects = 0;
std::size_t exists_calls = 0;

void note(const std::string& line) {
  std::ofstream out(journal, std::ios::app);
  out << line << '\n';
}

storage_result scripted(const char* remote_name) {
  const char* mark = std::strrchr(remote_name, '#');
  return mark == nullptr ? 0 : static_cast<storage_result>(std::atoi(mark + 1));
}

// "2+3" as numbers.
std::vector<unsigned> numbers(const std::string& list) {
  std::vector<unsigned> values;
  std::istringstream in(list);
  for (std::string value; std::getline(in, value, '+');) {
    values.push_back(static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10)));
  }
  return values;
}

// A new connection text starts the script afresh.
void read_script(const std::string& text) {
  connection = text;
  const std::size_t bar = text.find('|');
  journal = text.substr(0, bar);
  refused.clear();
  exists_answers.clear();
  connects = 0;
  exists_calls = 0;
  if (bar == std::string::npos) return;
  std::istringstream options(text.substr(bar + 1));
  for (std::string option; std::getline(options, option, ';');) {
    const std::size_t equals = option.find('=');
    const std::string name = option.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : option.substr(equals + 1);
    if (name == "refuse") refused = numbers(value);
    if (name == "exists") {
      for (const unsigned answer : numbers(value)) {
        exists_answers.push_back(static_cast<storage_result>(answer));
      }
    }
  }
}

}  // namespace

extern "C" {

storage_handle storage_connect(const char* link) {
  if (connection != link) read_script(link);
  note(std::string("connect ") + link);
  ++connects;
  for (const unsigned turned_away : refused) {
    if (turned_away == connects) return 0;
  }
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
  if (exists_calls < exists_answers.size()) return exists_answers[exists_calls++];
  return scripted(remote_name);
}
}
