// The program's description of itself: name, version and the command-line arguments it accepts,
// with the parser that fills their values and the usage text that explains them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kestrun {

// Full path of the running program's file; empty when the system does not say.
std::filesystem::path program_path();

class app_info {
 public:
  // One declared argument. A name beginning with '-' declares an option ("-m", "--nosave"), any
  // other name a positional argument ("folder"). Builder operations return the same record.
  struct argument {
    app_info* owner = nullptr;  // not owned: the description owns its records
    std::uint64_t order = 0;    // 1 for the first declared argument
    std::string name;
    std::string alias;  // the alias shown in the usage text; empty when none
    std::string default_value;
    bool has_default = false;
    std::vector<std::pair<std::string, std::string>> allowed;  // (value, description); empty: any
    bool taken = false;               // a positional argument that received its value
    std::vector<std::string> values;  // as given, in order
    std::string description;
    bool optional = false;  // set directly by the configuring code

    // Enters one more name for this record and shows it in the usage text; throws
    // std::runtime_error "Argument {} already defined!" when the name is already in use.
    argument* add_alias(const std::string& alias_name);
    argument* set_default(const std::string& value);
    argument* set_description(const std::string& text);
    argument* add_value(const std::string& value, const std::string& value_description);
  };

  // The declaration handle handed to the configuring callback; it lives only while that runs.
  struct tool {
    std::uint64_t counter = 0;  // arguments declared so far
    app_info* owner = nullptr;  // the description being configured (not owned)

    // Declares an argument; throws std::runtime_error "Argument {} already defined!" when the
    // name is already declared as a name or an alias.
    argument* add_argument(const std::string& name);
  };

  // An empty description. The program uses the one made by init(); tests may build their own.
  app_info() = default;
  virtual ~app_info();
  app_info(const app_info&) = delete;
  app_info& operator=(const app_info&) = delete;

  // Builds the process-wide description, lets `configure` declare name, version and arguments,
  // and parses the process's own command line (argc and argv are not used). The name defaults to
  // the program file's stem. False when parsing failed (`error` says why; it stays empty when the
  // command line cannot be read) and when a description already exists, which is then left as
  // it was. Exceptions thrown by `configure` pass through.
  static bool init(int argc, char** argv, std::function<void(tool*)> configure);

  // The process-wide description; null before init(). It lives until the process exits.
  static app_info* instance();

  // True when `candidate` is neither a declared name nor an alias; throws std::runtime_error
  // "Argument {} already defined!" otherwise.
  bool check_name_free(const std::string& candidate) const;

  // Parses `argc` zero-terminated UTF-8 texts, skipping the first (the program). False on the
  // first error, whose text is kept in `error`; values given so far stay recorded.
  bool parse(int argc, const char* const* argv);

  // True for a declared name or alias that was given a value or has a default.
  bool has(const std::string& key) const;

  // The first value given, else the default, else `fallback` (also for an unknown name).
  // Returned by value, so that a temporary fallback cannot be left dangling.
  std::string get(const std::string& key, const std::string& fallback) const;

  // The value read as an int the way a stream reads one ("7x" gives 7, "abc" 0, out-of-range
  // values the int limits); `fallback` when has() is false or the value is empty.
  int get_int(const std::string& key, int fallback) const;

  // The usage text: name and version, the usage line, then every argument with its description
  // and allowed values.
  std::string usage() const;

  // Appends one line per allowed value of `arg` to `out`; nothing when any value is allowed.
  void print_allowed_values(std::string& out, const argument& arg) const;

  std::string name;
  std::string version;
  std::string error;  // the text of the error that ended the last failed parse
  std::vector<std::unique_ptr<argument>> arguments;  // in declaration order
  std::map<std::string, argument*> by_name;          // every name and alias; records not owned

 private:
  const argument* find(const std::string& key) const;
};

}  // namespace kestrun
