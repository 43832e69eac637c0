// Runs this test program again as a child with one environment variable set to `value`, its
// standard output and error going to the file `output`, and the arguments given: for what only
// shows from outside a process.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

namespace kestrun::test::child {

// The child's exit code, or -1 when it could not be started. Each argument is quoted for
// CommandLineToArgvW (no argument here ends in a backslash or holds a quote).
inline int run(const wchar_t* variable, const std::wstring& value,
               const std::filesystem::path& output, const std::vector<std::wstring>& arguments) {
  wchar_t self[4096];
  if (::GetModuleFileNameW(nullptr, self, 4096) == 0) return -1;
  std::wstring command = L"\"" + std::wstring(self) + L"\"";
  for (const auto& argument : arguments) command += L" \"" + argument + L"\"";
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const HANDLE out = ::CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return -1;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out;
  startup.hStdError = out;
  PROCESS_INFORMATION process{};
  ::SetEnvironmentVariableW(variable, value.c_str());
  const BOOL started = ::CreateProcessW(self, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &process);
  ::SetEnvironmentVariableW(variable, nullptr);
  ::CloseHandle(out);
  if (!started) return -1;
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

}  // namespace kestrun::test::child
