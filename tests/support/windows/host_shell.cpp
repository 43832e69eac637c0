// Wine starts a Linux program that a Windows program asks for, but hands back no handle to it:
// the shell's end shows by a status file it writes last.
#include "tests/support/host_shell.h"

#include <windows.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/platform.h"
#include "tests/support/temp_folder.h"

namespace kestrun::test {
namespace {

constexpr auto shell_limit = std::chrono::minutes(1);

// `text` as one argument of a command line, as CommandLineToArgvW splits it (Wine splits the
// command line of a Linux program the same way).
std::wstring command_line_argument(const std::wstring& text) {
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : text) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote escaped.
    quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(2 * backslashes, L'\\');
  return quoted + L"\"";
}

}  // namespace

std::string host_path(const std::filesystem::path& path) {
  // Exported by Wine's kernel32 only; the name is in the heap of this process.
  using unix_name_fn = char*(__cdecl*)(const wchar_t*);
  const auto unix_name = reinterpret_cast<unix_name_fn>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (unix_name == nullptr) return "";
  char* const name = unix_name(platform::wide_from_path(std::filesystem::absolute(path)).c_str());
  if (name == nullptr) return "";
  std::string result(name);
  ::HeapFree(::GetProcessHeap(), 0, name);
  return result;
}

bool host_shell(const std::string& command) {
  const temp_folder folder;
  const std::string at = host_path(folder.path());
  if (at.empty()) return false;
  const std::string status = shell_quoted(at + "/status");
  const std::string script = "( " + command + " ); echo $? >" + shell_quoted(at + "/status.tmp") +
                             "; mv " + shell_quoted(at + "/status.tmp") + " " + status;
  std::wstring line = L"sh -c " + command_line_argument(platform::wide_from_native(script));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(L"Z:\\bin\\sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
    return false;
  }
  if (process.hThread != nullptr) ::CloseHandle(process.hThread);
  if (process.hProcess != nullptr) ::CloseHandle(process.hProcess);

  const auto limit = std::chrono::steady_clock::now() + shell_limit;
  while (!std::filesystem::exists(folder.path() / "status")) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  int code = -1;
  std::ifstream(folder.path() / "status") >> code;
  return code == 0;
}

}  // namespace kestrun::test
