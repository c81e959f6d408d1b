// The `quarn` command: one table entry and one function per subcommand (commands.cpp), a shared
// argument parser and the passphrase rules (main.cpp, passphrase.cpp), and the text it prints
// (output.cpp). Everything it prints comes from here: the engine prints nothing.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.h"
#include "format/bytes.h"
#include "memory/memory.h"
#include "store/store.h"

namespace quarn::cli {

// Exit statuses.
inline constexpr int kOk = 0;
inline constexpr int kFailed = 1;  // the operation failed: the message is on standard error
inline constexpr int kUsage = 2;   // the command line was wrong

struct Option {
  std::string_view name;   // "--dimensions"
  std::string_view value;  // its value's name ("N"), or empty for a flag
  std::string_view help;
  bool required = false;
};

// A command line as parsed against its command's table entry.
struct Args {
  std::vector<std::string> operands;
  std::map<std::string, std::string, std::less<>> values;  // options that take a value
  std::set<std::string, std::less<>> flags;

  bool flag(std::string_view name) const { return flags.contains(name); }
  const std::string* value(std::string_view name) const {
    const auto it = values.find(name);
    return it == values.end() ? nullptr : &it->second;
  }
};

struct Command {
  std::string_view name;
  std::string_view operands;  // as the usage line shows them: "PATH ID"
  std::size_t operand_count;
  std::string_view summary;
  std::string_view details;   // more help, may be empty
  std::span<const Option> options;
  int (*run)(const Args&);
};

// The subcommands, in the order the help lists them.
std::span<const Command> commands();

// Options shared by several commands.
extern const Option kPassphraseFile;
extern const Option kNewPassphraseFile;
extern const Option kJson;

// Failure reports: "quarn: <what>" on standard error; return kFailed or kUsage.
int failed(std::string_view what);
int failed(std::string_view subject, const QuarnError& error);  // "quarn: SUBJECT: message"
int usage(std::string_view what);

// Output on standard output.
void print(std::string_view text);

// A passphrase held in memory only as long as needed and wiped when released.
class Secret {
 public:
  Secret() = default;
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
  Secret(Secret&& other) noexcept : bytes_(std::move(other.bytes_)) {}
  ~Secret();
  std::string& bytes() { return bytes_; }
  ByteView view() const {
    return {reinterpret_cast<const std::uint8_t*>(bytes_.data()), bytes_.size()};
  }

 private:
  std::string bytes_;
};

// The passphrase, from --passphrase-file FILE, else the environment variable QUARN_PASSPHRASE,
// else asked for on the terminal without echo (twice when `confirm`). Failure: the message is
// printed and the exit status returned.
std::expected<Secret, int> passphrase(const Args& args, std::string_view path, bool confirm);
// A new passphrase (passwd): from --new-passphrase-file FILE, else QUARN_NEW_PASSPHRASE, else
// asked for twice on the terminal.
std::expected<Secret, int> new_passphrase(const Args& args, std::string_view path);

// Opens the existing database at `path` (never creates one); failures are printed.
std::expected<std::unique_ptr<store::Store>, int> open_database(const Args& args,
                                                               const std::string& path);

// Text for people: control characters and invalid UTF-8 escaped, so that a stored text can never
// drive the terminal.
std::string printable(std::string_view text);
// "2026-01-01T00:00:00Z", or the number itself when it is out of the calendar's range.
std::string utc_time(std::int64_t unix_secs);
std::string float_text(float value);

// What the commands print, for people and (json) as one JSON document per line.
std::string memory_for_people(const memory::Memory& memory);
std::string stats_for_people(const store::Stats& stats);
std::string snapshots_for_people(const std::vector<store::SnapshotInfo>& snapshots);
[[nodiscard]] Result<std::string> memories_json(const std::vector<memory::Memory>& memories);
[[nodiscard]] Result<std::string> memory_json(const memory::Memory& memory);
[[nodiscard]] Result<std::string> stats_json(const store::Stats& stats);
std::string snapshot_json(const store::SnapshotInfo& snapshot);
std::string snapshots_json(const std::vector<store::SnapshotInfo>& snapshots);

}  // namespace quarn::cli
