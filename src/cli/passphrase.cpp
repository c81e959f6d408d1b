// Where the passphrase comes from: a file, the environment, or the terminal without echo. It is
// never a command-line argument, which other users of the machine could read.
#include <openssl/crypto.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/cli.h"
#include "pager/file.h"

namespace quarn::cli {
namespace {

constexpr std::uint64_t kMaxPassphraseFile = std::uint64_t{1} << 20;

// The terminal's settings while echo is off, restored on every way out, signals included.
struct termios saved_terminal;
volatile sig_atomic_t echo_off = 0;

void restore_terminal() {
  if (echo_off) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_terminal);
    echo_off = 0;
  }
}

void on_signal(int signal_number) {
  restore_terminal();
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

// Reads one line from the terminal with echo off; the prompt and the newline go to stderr.
std::expected<Secret, int> ask(const std::string& prompt) {
  if (tcgetattr(STDIN_FILENO, &saved_terminal) != 0) {
    return std::unexpected(failed(std::string("cannot read the terminal: ") + std::strerror(errno)));
  }
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::signal(s, on_signal);
  struct termios quiet = saved_terminal;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ICANON;
  // Echo goes off before the prompt shows, so that nothing typed after the prompt is echoed or
  // discarded by the switch.
  echo_off = 1;
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);
  Secret secret;
  secret.bytes().reserve(4096);  // so that growing does not leave copies behind in freed memory
  bool ended = false;
  for (;;) {
    char c;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ended = secret.bytes().empty();
      break;
    }
    if (c == '\n') break;
    secret.bytes().push_back(c);
  }
  restore_terminal();
  std::fputs("\n", stderr);
  if (ended) return std::unexpected(failed("no passphrase was entered"));
  if (!secret.bytes().empty() && secret.bytes().back() == '\r') secret.bytes().pop_back();
  return secret;
}

std::expected<Secret, int> from_file(const std::string& path) {
  auto file = pager::PosixFile::open_read_only(path);
  if (!file) return std::unexpected(failed(printable(path), file.error()));
  auto size = (*file)->size();
  if (!size) return std::unexpected(failed(printable(path), size.error()));
  if (*size > kMaxPassphraseFile) return std::unexpected(failed(printable(path) + ": a passphrase file holds at most 1 MiB"));
  Secret secret;
  secret.bytes().resize(static_cast<std::size_t>(*size));
  auto read = (*file)->read_at(0, std::span(reinterpret_cast<std::uint8_t*>(secret.bytes().data()),
                                            secret.bytes().size()));
  if (!read) return std::unexpected(failed(printable(path), read.error()));
  std::string& bytes = secret.bytes();
  if (bytes.ends_with('\n')) bytes.pop_back();
  if (bytes.ends_with('\r')) bytes.pop_back();
  return secret;
}

// Where one passphrase comes from: its option, its environment variable, and what the prompt calls
// it.
struct Source {
  const Option& option;
  const char* environment;
  std::string_view name;
};

std::expected<Secret, int> read_passphrase(const Args& args, const Source& source,
                                           std::string_view path, bool confirm) {
  if (const std::string* file = args.value(source.option.name)) return from_file(*file);
  if (const char* environment = std::getenv(source.environment)) {
    Secret secret;
    secret.bytes() = environment;
    return secret;
  }
  if (!isatty(STDIN_FILENO)) {
    return std::unexpected(usage("no " + std::string(source.name) + ": give " +
                                 std::string(source.option.name) + " FILE, set " +
                                 source.environment + ", or run on a terminal to be asked for it"));
  }
  auto first = ask((confirm ? "New passphrase for " : "Passphrase for ") + std::string(path) + ": ");
  if (!first || !confirm) return first;
  auto second = ask("Repeat the passphrase: ");
  if (!second) return second;
  if (first->bytes() != second->bytes()) return std::unexpected(failed("the two passphrases differ"));
  return first;
}

}  // namespace

Secret::~Secret() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }

std::expected<Secret, int> passphrase(const Args& args, std::string_view path, bool confirm) {
  return read_passphrase(args, {kPassphraseFile, "QUARN_PASSPHRASE", "passphrase"}, path, confirm);
}

std::expected<Secret, int> new_passphrase(const Args& args, std::string_view path) {
  return read_passphrase(args, {kNewPassphraseFile, "QUARN_NEW_PASSPHRASE", "new passphrase"}, path,
                         true);
}

}  // namespace quarn::cli
