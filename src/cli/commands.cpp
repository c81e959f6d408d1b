// The subcommands: one table entry and one function each. Commands that only read never flush.
#include <unistd.h>

#include <charconv>
#include <string>

#include "cli/cli.h"
#include "pager/file.h"

namespace quarn::cli {
namespace {

using store::Store;

const Option kDimensions = {"--dimensions", "N", "length of every vector the database stores", true};
const Option kTxn = {"--txn", "N", "restore the snapshot of transaction N"};
const Option kTime = {"--time", "UNIX_SECS", "restore the latest snapshot committed at or before then"};
const Option kIncludeDeleted = {"--include-deleted", "", "write soft-deleted memories too"};
const Option kKeepSnapshots = {"--keep-snapshots", "K", "keep only the newest K snapshots (default: all)"};
const Option kFormatVersion = {"--format-version", "V",
                               "file format 7 or 8 (8: a flush writes only what changed)"};

const Option kOpenOptions[] = {kPassphraseFile};
const Option kReportOptions[] = {kPassphraseFile, kJson};
const Option kInitOptions[] = {kDimensions, kFormatVersion, kPassphraseFile};
const Option kRestoreOptions[] = {kTxn, kTime, kPassphraseFile, kJson};
const Option kExportOptions[] = {kIncludeDeleted, kPassphraseFile};
const Option kVacuumOptions[] = {kKeepSnapshots, kFormatVersion, kPassphraseFile, kJson};
const Option kPasswdOptions[] = {kPassphraseFile, kNewPassphraseFile};

template <class T>
std::optional<T> number(const std::string& text) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// The --format-version given, if any: 7 or 8, else a usage error.
std::optional<std::uint64_t> format_version(const Args& args, bool& bad) {
  const std::string* text = args.value(kFormatVersion.name);
  bad = false;
  if (!text) return std::nullopt;
  const auto version = number<std::uint64_t>(*text);
  bad = !version || (*version != 7 && *version != 8);
  return version;
}

int bad_format_version(const Args& args) {
  return usage("--format-version must be 7 or 8, not '" + *args.value(kFormatVersion.name) + "'");
}

// "1 memory", "2 memories".
std::string memories_text(std::uint64_t count) {
  return std::to_string(count) + (count == 1 ? " memory" : " memories");
}

// Prints the text, or fails when it could not be made.
int emit(const Result<std::string>& text) {
  if (!text) return failed(text.error().message());
  print(*text);
  return kOk;
}

int init(const Args& args) {
  const std::string& path = args.operands[0];
  const std::string* dims_text = args.value(kDimensions.name);
  const auto dims = number<std::uint64_t>(*dims_text);
  if (!dims) return usage("--dimensions must be a whole number, not '" + *dims_text + "'");
  bool bad = false;
  const std::optional<std::uint64_t> version = format_version(args, bad);
  if (bad) return bad_format_version(args);
  auto exists = pager::path_exists(path);
  if (!exists) return failed(printable(path), exists.error());
  if (*exists) return failed(printable(path) + ": already exists; init only creates new databases");
  auto pass = passphrase(args, path, true);
  if (!pass) return pass.error();

  auto file = pager::PosixFile::create_new(path);
  if (!file) return failed(printable(path), file.error());
  // The file is ours from here: whatever fails, it goes again.
  const auto fail_and_remove = [&](const QuarnError& error) {
    ::unlink(path.c_str());
    return failed(printable(path), error);
  };
  auto db = Store::open_file(std::move(*file), false, path, pass->view(), dims);
  if (!db) return fail_and_remove(db.error());
  if (version) {
    if (auto set = (*db)->set_format_version(*version); !set) return fail_and_remove(set.error());
  }
  auto manifest = (*db)->insert_default_manifest();
  if (!manifest) return fail_and_remove(manifest.error());
  if (auto flushed = (*db)->flush(); !flushed) return fail_and_remove(flushed.error());
  print("created " + printable(path) + ": " + std::to_string(*dims) +
        " dimensions, with the scaffold manifest memory " + manifest->to_string() + "\n");
  return kOk;
}

int about(const Args& args) {
  auto db = open_database(args, args.operands[0]);
  if (!db) return db.error();
  auto memories = (*db)->about();
  if (!memories) return failed(printable(args.operands[0]), memories.error());
  if (args.flag(kJson.name)) return emit(memories_json(*memories));
  if (memories->empty()) print("no onboarding memories (metadata area = \"onboarding\")\n");
  for (const memory::Memory& m : *memories) {
    print(m.id.to_string() + "  " + std::string(memory::python_name(m.memory_type)) + "  importance " +
          float_text(m.importance) + "  agent " + printable(m.agent_id) + "\n  " + printable(m.content) +
          "\n");
  }
  return kOk;
}

int stats(const Args& args) {
  auto db = open_database(args, args.operands[0]);
  if (!db) return db.error();
  auto s = (*db)->stats();
  if (!s) return failed(printable(args.operands[0]), s.error());
  if (args.flag(kJson.name)) return emit(stats_json(*s));
  print(stats_for_people(*s));
  return kOk;
}

int verify(const Args& args) {
  auto db = open_database(args, args.operands[0]);
  if (!db) return db.error();
  auto checked = (*db)->verify();
  if (!checked) return failed(printable(args.operands[0]), checked.error());
  if (args.flag(kJson.name)) {
    print("{\"verified\":" + std::to_string(*checked) + "}\n");
  } else {
    print(std::to_string(*checked) + " records verified: every page decrypts and authenticates\n");
  }
  return kOk;
}

int snapshots(const Args& args) {
  auto db = open_database(args, args.operands[0]);
  if (!db) return db.error();
  const auto list = (*db)->snapshots();
  print(args.flag(kJson.name) ? snapshots_json(list) : snapshots_for_people(list));
  return kOk;
}

int get(const Args& args) {
  const auto id = memory::Ulid::parse(args.operands[1]);
  if (!id) return failed("invalid memory id '" + printable(args.operands[1]) + "'");
  auto db = open_database(args, args.operands[0]);
  if (!db) return db.error();
  auto m = (*db)->get(*id);
  if (!m) return failed(printable(args.operands[0]), m.error());
  if (args.flag(kJson.name)) return emit(memory_json(*m));
  print(memory_for_people(*m));
  return kOk;
}

int restore(const Args& args) {
  const std::string* txn = args.value(kTxn.name);
  const std::string* time = args.value(kTime.name);
  if ((txn == nullptr) == (time == nullptr)) return usage("restore needs exactly one of --txn N and --time UNIX_SECS");
  const auto txn_id = txn ? number<std::uint64_t>(*txn) : std::nullopt;
  const auto unix_secs = time ? number<std::int64_t>(*time) : std::nullopt;
  if (txn && !txn_id) return usage("--txn must be a transaction id, not '" + *txn + "'");
  if (time && !unix_secs) return usage("--time must be whole Unix seconds, not '" + *time + "'");
  auto db = open_database(args, args.operands[0]);
  if (!db) return db.error();
  auto restored = txn_id ? (*db)->restore_to(*txn_id) : (*db)->restore_to_time(*unix_secs);
  if (!restored) return failed(printable(args.operands[0]), restored.error());
  if (args.flag(kJson.name)) {
    print(snapshot_json(*restored) + "\n");
  } else {
    print("restored the snapshot of transaction " + std::to_string(restored->txn_id) + " (committed " +
          utc_time(restored->created_at) + ", " + memories_text(restored->memory_count) + ") as a new transaction\n");
  }
  return kOk;
}

int export_jsonl(const Args& args) {
  auto db = open_database(args, args.operands[0]);
  if (!db) return db.error();
  const std::string& out = args.operands[1];
  auto written = (*db)->export_jsonl(out, args.flag(kIncludeDeleted.name));
  if (!written) return failed(printable(out), written.error());
  print("exported " + memories_text(*written) + " to " + printable(out) + "\n");
  return kOk;
}

int import_jsonl(const Args& args) {
  auto db = open_database(args, args.operands[0]);
  if (!db) return db.error();
  const std::string& in = args.operands[1];
  auto imported = (*db)->import_jsonl(in);
  if (!imported) {
    const Store::ImportError& e = imported.error();
    if (e.line == 0) return failed(printable(in), e.error);
    return failed(printable(in) + ": line " + std::to_string(e.line) + ": " + e.error.text() +
                  "; nothing was imported");
  }
  if (auto flushed = (*db)->flush(); !flushed) return failed(printable(args.operands[0]), flushed.error());
  print("imported " + memories_text(*imported) + " from " + printable(in) + "\n");
  return kOk;
}

int vacuum(const Args& args) {
  store::VacuumOptions options;
  if (const std::string* keep = args.value(kKeepSnapshots.name)) {
    options.keep_snapshots = number<std::uint64_t>(*keep);
    if (!options.keep_snapshots || *options.keep_snapshots == 0)
      return usage("--keep-snapshots must be a whole number of at least 1, not '" + *keep + "'");
  }
  bool bad = false;
  options.format_version = format_version(args, bad);
  if (bad) return bad_format_version(args);
  auto db = open_database(args, args.operands[0]);
  if (!db) return db.error();
  auto done = (*db)->vacuum(options);
  if (!done) return failed(printable(args.operands[0]), done.error());
  if (args.flag(kJson.name)) {
    print("{\"file_bytes_before\":" + std::to_string(done->file_bytes_before) +
          ",\"file_bytes_after\":" + std::to_string(done->file_bytes_after) +
          ",\"snapshots\":" + std::to_string(done->snapshots) +
          ",\"memories\":" + std::to_string(done->memories) + "}\n");
  } else {
    print("vacuumed " + printable(args.operands[0]) + ": " + std::to_string(done->file_bytes_before) +
          " bytes before, " + std::to_string(done->file_bytes_after) + " after; kept " +
          std::to_string(done->snapshots) + (done->snapshots == 1 ? " snapshot" : " snapshots") +
          " and " + memories_text(done->memories) + "\n");
  }
  return kOk;
}

int passwd(const Args& args) {
  auto db = open_database(args, args.operands[0]);
  if (!db) return db.error();
  auto pass = new_passphrase(args, args.operands[0]);
  if (!pass) return pass.error();
  if (auto changed = (*db)->change_passphrase(pass->view()); !changed)
    return failed(printable(args.operands[0]), changed.error());
  print("changed the passphrase of " + printable(args.operands[0]) +
        "; copies made before keep the old one\n");
  return kOk;
}

constexpr Command kCommands[] = {
    {"init", "PATH", 1, "create a database holding the scaffold manifest memory",
     "Refuses a PATH that exists. The manifest memory is the one insert_default_manifest()\n"
     "stores; replace it with one that describes your embedder and conventions.",
     kInitOptions, init},
    {"about", "PATH", 1, "list the onboarding memories, the manifest first", "", kReportOptions, about},
    {"stats", "PATH", 1, "summary statistics", "", kReportOptions, stats},
    {"verify", "PATH", 1, "decrypt and check every live record", "", kReportOptions, verify},
    {"snapshots", "PATH", 1, "list the restorable snapshots", "", kReportOptions, snapshots},
    {"get", "PATH ID", 2, "show one memory", "", kReportOptions, get},
    {"restore", "PATH", 1, "roll back to a snapshot, as a new transaction",
     "Give --txn N or --time UNIX_SECS. Nothing is lost: later snapshots stay listed.",
     kRestoreOptions, restore},
    {"export", "PATH OUT.jsonl", 2, "write the memories as JSON Lines to a new file",
     "The first line describes the file; every other line is one memory dict.", kExportOptions,
     export_jsonl},
    {"import", "PATH IN.jsonl", 2, "store the memories of an export, then flush",
     "Ids, times and access statistics are kept; a memory whose id exists is replaced.\n"
     "A bad line refuses the whole file, and nothing is imported.",
     kOpenOptions, import_jsonl},
    {"vacuum", "PATH", 1, "rewrite the file with only what the kept snapshots reach",
     "Replaces the file in place, atomically; memories deleted in every kept snapshot are\n"
     "dropped from it. Refused while the database is open anywhere else.",
     kVacuumOptions, vacuum},
    {"passwd", "PATH", 1, "change the passphrase",
     "Wraps the data key under the new passphrase; copies made before keep the old one\n"
     "and the same data key.",
     kPasswdOptions, passwd},
};

}  // namespace

std::span<const Command> commands() { return kCommands; }

std::expected<std::unique_ptr<Store>, int> open_database(const Args& args, const std::string& path) {
  auto file = pager::PosixFile::open_held(path);
  if (!file) return std::unexpected(failed(printable(path), file.error()));
  auto pass = passphrase(args, path, false);
  if (!pass) return std::unexpected(pass.error());
  auto db = Store::open_file(std::move(*file), true, path, pass->view(), std::nullopt);
  if (!db) return std::unexpected(failed(printable(path), db.error()));
  return std::move(*db);
}

}  // namespace quarn::cli
