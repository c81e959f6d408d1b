// The command line: finds the subcommand in the table, parses its options and operands against its
// entry, answers --help and --version, and runs it.
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/cli.h"
#include "version.h"

namespace quarn::cli {
namespace {

const Option kHelp = {"--help", "", "show this help and exit"};

const Command* find(std::string_view name) {
  for (const Command& command : commands()) {
    if (command.name == name) return &command;
  }
  return nullptr;
}

std::string usage_line(const Command& command) {
  std::string line = "usage: quarn ";
  line.append(command.name);
  if (!command.operands.empty()) line.append(" ").append(command.operands);
  for (const Option& option : command.options) {
    line.append(option.required ? " " : " [").append(option.name);
    if (!option.value.empty()) line.append(" ").append(option.value);
    if (!option.required) line.append("]");
  }
  return line;
}

std::string command_help(const Command& command) {
  std::string text = usage_line(command) + "\n\n" + std::string(command.summary) + "\n";
  if (!command.details.empty()) text.append("\n").append(command.details).append("\n");
  text += "\noptions:\n";
  const auto add = [&](const Option& option) {
    std::string left = "  " + std::string(option.name);
    if (!option.value.empty()) left.append(" ").append(option.value);
    left.resize(std::max<std::size_t>(left.size() + 2, 26), ' ');
    text.append(left).append(option.help).append("\n");
  };
  for (const Option& option : command.options) add(option);
  add(kHelp);
  return text;
}

std::string general_help() {
  std::string text =
      "usage: quarn COMMAND [ARGS]\n\n"
      "Works on one quarn database file: an encrypted memory store for software agents.\n\n"
      "commands:\n";
  for (const Command& command : commands()) {
    std::string left = "  " + std::string(command.name);
    left.resize(14, ' ');
    text.append(left).append(command.summary).append("\n");
  }
  text +=
      "\nThe passphrase comes from --passphrase-file FILE, else the environment variable\n"
      "QUARN_PASSPHRASE, else it is asked for on the terminal; it is never an argument.\n"
      "Run 'quarn COMMAND --help' for a command's options. Exit status: 0 on success,\n"
      "1 when the operation fails, 2 when the command line is wrong.\n";
  return text;
}

const Option* option_named(const Command& command, std::string_view name) {
  for (const Option& option : command.options) {
    if (option.name == name) return &option;
  }
  return nullptr;
}

// Parses argv[first..] for `command`; prints and returns the exit status on a mistake or --help.
std::expected<Args, int> parse(const Command& command, int argc, char** argv, int first) {
  Args args;
  bool options_done = false;
  for (int i = first; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (options_done || !arg.starts_with("-") || arg == "-") {
      args.operands.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      print(command_help(command));
      return std::unexpected(kOk);
    }
    const std::size_t equals = arg.find('=');
    const std::string_view name = arg.substr(0, equals);
    const Option* option = option_named(command, name);
    if (option == nullptr) return std::unexpected(usage("unknown option " + std::string(name) + " for '" +
                                                        std::string(command.name) + "'"));
    if (option->value.empty()) {
      if (equals != std::string_view::npos) return std::unexpected(usage(std::string(name) + " takes no value"));
      args.flags.emplace(name);
      continue;
    }
    std::string value;
    if (equals != std::string_view::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      return std::unexpected(usage(std::string(name) + " needs a value (" + std::string(option->value) + ")"));
    }
    if (!args.values.emplace(name, std::move(value)).second) {
      return std::unexpected(usage(std::string(name) + " is given twice"));
    }
  }
  if (args.operands.size() != command.operand_count) {
    return std::unexpected(usage("wrong number of operands\n" + usage_line(command)));
  }
  for (const Option& option : command.options) {
    if (option.required && !args.values.contains(option.name)) {
      return std::unexpected(usage(std::string(option.name) + " is required\n" + usage_line(command)));
    }
  }
  return args;
}

int run(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(general_help().c_str(), stderr);
    return kUsage;
  }
  const std::string_view name = argv[1];
  if (name == "--help" || name == "-h") {
    print(general_help());
    return kOk;
  }
  if (name == "--version") {
    print("quarn " + std::string(kEngineVersion) + "\n");
    return kOk;
  }
  if (name == "help") {
    if (argc == 2) {
      print(general_help());
      return kOk;
    }
    const Command* command = find(argv[2]);
    if (command == nullptr) return usage("unknown command '" + std::string(argv[2]) + "'");
    print(command_help(*command));
    return kOk;
  }
  const Command* command = find(name);
  if (command == nullptr) {
    return usage("unknown command '" + std::string(name) + "' (see 'quarn --help')");
  }
  auto args = parse(*command, argc, argv, 2);
  if (!args) return args.error();
  return command->run(*args);
}

}  // namespace

const Option kPassphraseFile = {"--passphrase-file", "FILE",
                                "read the passphrase from FILE (one trailing newline is dropped)"};
const Option kNewPassphraseFile = {"--new-passphrase-file", "FILE",
                                   "read the new passphrase from FILE (else QUARN_NEW_PASSPHRASE, "
                                   "else it is asked for twice)"};
const Option kJson = {"--json", "", "print JSON for machines instead of text for people"};

int failed(std::string_view what) {
  std::string line = "quarn: ";
  line.append(what).append("\n");
  std::fputs(line.c_str(), stderr);
  return kFailed;
}

int failed(std::string_view subject, const QuarnError& error) {
  return failed(std::string(subject) + ": " + error.message());
}

int usage(std::string_view what) {
  std::string line = "quarn: ";
  line.append(what).append("\n");
  std::fputs(line.c_str(), stderr);
  return kUsage;
}

void print(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

}  // namespace quarn::cli

int main(int argc, char** argv) {
  const int status = quarn::cli::run(argc, argv);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "quarn: cannot write the output: %s\n", std::strerror(errno));
    return quarn::cli::kFailed;
  }
  return status;
}
