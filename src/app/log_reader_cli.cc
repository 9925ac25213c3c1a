#include "app/log_reader_cli.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <set>

#include "app/work_units.h"
#include "base/exit_status.h"
#include "base/log.h"
#include "version.h"

namespace {

constexpr const char* kProgram = "lograven";
constexpr const char* kDefaultPasswordFile = "passwords.json";

constexpr int kStoreFailed = 3;

// Path values: normalised, then appended to their vector.  Returns 0, or
// kStoreFailed when the vector cannot grow.
int folderCheckFn(std::vector<std::string>* target, const std::string& value) {
  try {
    std::string path = value;
    cFS_os_normalizePath(&path);
    target->push_back(std::move(path));
  } catch (const std::bad_alloc&) {
    return kStoreFailed;
  }
  return 0;
}

// The only way folderCheckFn fails.
std::string folderErrorFn(int /*code*/) { return "internal error, could not allocate memory"; }

void attachFolderCheck(cArgOption* option, std::vector<std::string>* target) {
  if (option == nullptr) return;
  option->onValue = [target](const std::string& value) { return folderCheckFn(target, value); };
  option->errorText = folderErrorFn;
}

// A password file is a few lines; more than this is not one.
constexpr size_t kMaxPasswordFileBytes = size_t{16} << 20;

// Reads the file at `fd` front to back up to its end, so that a pipe serves
// as well as a file (`-p <(…)`).  False, errno set, on a read error or past
// kMaxPasswordFileBytes (EFBIG).
bool readAll(int fd, std::string* text) {
  constexpr size_t kChunk = size_t{1} << 20;
  text->clear();
  for (;;) {
    const size_t have = text->size();
    if (have > kMaxPasswordFileBytes) {
      errno = EFBIG;
      return false;
    }
    text->resize(have + kChunk);
    const ssize_t n = ::read(fd, text->data() + have, kChunk);
    text->resize(have + static_cast<size_t>(std::max<ssize_t>(n, 0)));
    if (n == 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

}  // namespace

std::unique_ptr<cLogReaderCLI> cLogReaderCLI_ctor() { return std::make_unique<cLogReaderCLI>(); }

cLogReaderCLI::~cLogReaderCLI() {
  // The extension may refer to what this object holds; it goes first.
  extension_.reset();
}

void cLogReaderCLI::setExtension(std::unique_ptr<cLogReaderCLIExtension> extension) {
  extension_ = std::move(extension);
}

bool cLogReaderCLI::buildTable(cArgTable* table) {
  Handles& h = handles_;
  h.help = table->addFlag('h', "help", "display this help and exit");
  h.version = table->addFlag('v', "version", "display tool version and exit");
  h.verbosity = table->addInt(
      0, "verbosity", "<n>",
      "verbosity of logging messages from 0 to 4, with 0 being fatal messages only 4 being all "
      "messages including debug information. defaults to 3");
  h.nonInteractive =
      table->addFlag(0, "non-interactive", "does not print any progress output");
  h.deleteConverted =
      table->addFlag('d', "delete-converted", "deletes files after conversion if specified");
  h.noAppendRoot =
      table->addFlag('X', "no-append-root", "do not add \"_out\" when converting folders");
  h.buffer = table->addInt('b', "buffer", "<n>",
                           "buffer size in bytes. 0 disables and -1 takes entire file");
  h.utc = table->addFlag(
      0, "utc",
      "write time stamps and day folders in UTC. Without it, t is seconds since 1970 on the "
      "logger's local clock: the header's start time plus its time-zone and daylight-saving "
      "offsets");
  h.jobs = table->addInt('j', "jobs", "<n>",
                         "worker threads converting at the same time. defaults to the "
                         "processors the process may use (affinity, cgroup CPU limit)");
  cArgOption* shardOption = table->addText(
      0, "shard", "<K/N>",
      "convert only shard K of N (0 <= K < N) of the work: the sessions whose device and "
      "session fall in it");
  if (h.jobs != nullptr) {
    h.jobs->minValue = 1;
    h.jobs->maxValue = kMaxJobs;
    h.jobs->expected = "a number of worker threads from 1 to " + std::to_string(kMaxJobs) +
                       " is expected";
  }
  if (shardOption != nullptr) {
    shardOption->onValue = [this](const std::string& value) {
      if (cShard_parse(value, &shard)) return 0;
      refusedShard_ = value;
      return 1;
    };
    shardOption->errorText = [this](int) {
      return "invalid argument \"" + refusedShard_ +
             "\" to option --shard=<K/N>: K/N is expected, two whole numbers with 0 <= K < N "
             "(for example 0/4)";
    };
  }
  if (h.verbosity != nullptr) {
    h.verbosity->minValue = 0;
    h.verbosity->maxValue = 4;
    h.verbosity->expected = "an integer from 0 to 4 is expected";
  }
  if (h.buffer != nullptr) {
    h.buffer->minValue = -1;
    h.buffer->expected =
        "a whole number of bytes is expected: -1 (whole file), 0 (no buffer) or a size";
  }
  cArgOption* password = table->addText(
      'p', "password-file", "<path>",
      "where to find device passwords for encrypted files, defaults to \"passwords.json\"");
  attachFolderCheck(password, &passwordFile);
  bool ok = h.help && h.version && h.verbosity && h.nonInteractive && h.deleteConverted &&
            h.noAppendRoot && h.buffer && h.utc && h.jobs && shardOption && password;
  if (ok && extension_ && !extension_->addOptions(*this, *table)) ok = false;
  cArgOption* output = table->addText('O', "output-directory", "<path>",
                                      "where to place the converted files");
  if (output != nullptr) {
    // Kept as given: the folder is made (and the path normalised) only when
    // the run converts.
    output->onValue = [this](const std::string& value) {
      outputDirectory.push_back(value);
      return 0;
    };
  }
  cArgOption* infoFlag = table->addFlag(
      0, "info", "convert nothing: show what the log files hold and what the DBCs decode");
  cArgOption* jsonFlag =
      table->addFlag(0, "json", "with --info: one JSON object per log file");
  if (infoFlag != nullptr) infoFlag->target = &info;
  if (jsonFlag != nullptr) jsonFlag->target = &json;
  cArgOption* inputFiles = table->addFlag('i', "input-files=<file(s)/folder(s)>",
                                          "list of input files/folders, must have common root");
  cArgOption* positional =
      table->addPositional("file(s)/folder(s)", 1, cArgTable::kUnlimited);
  attachFolderCheck(positional, &inputs);
  return ok && output && infoFlag && jsonFlag && inputFiles && positional;
}

void cLogReaderCLI::printUsage(const cArgTable& table) const {
  std::printf("Usage: %s%s\n\n", kProgram, table.syntax().c_str());
  std::fputs(table.glossary().c_str(), stdout);
}

bool cLogReaderCLI::handleErrors(const cArgTable& table, int32_t* status) const {
  if (table.errors().empty()) return true;
  table.printErrors(stdout, kProgram);  // every refusal says why
  switch (table.errors().front().kind) {
    case cArgErrorKind::kBadInt:
    case cArgErrorKind::kUnexpectedArgument:
    case cArgErrorKind::kCallback:
      *status = kExitInvalidArgument;
      break;
    case cArgErrorKind::kMissingValue:
      *status = kExitMissingValue;
      break;
    default:
      *status = kExitOptionError;
      break;
  }
  return false;
}

bool cLogReaderCLI::parse(int argc, char** argv, int32_t* status) {
  int32_t dummy = 0;
  if (status == nullptr) status = &dummy;
  cArgTable table;
  if (!buildTable(&table)) {
    std::printf("%s: internal error, the option table could not be built\n", kProgram);
    *status = kExitNotFileOrFolder;
    return false;
  }
  table.parse(argc, argv);

  if (handles_.help->count > 0 || argc <= 1) {
    printUsage(table);
    return false;
  }
  if (handles_.version->count > 0) {
    std::printf("Version: %s\n", LOGRAVEN_VERSION);
    std::printf("Build date: %s\n", LOGRAVEN_BUILD_DATE);
    std::printf("GIT SHA: %s%s\n", LOGRAVEN_GIT_SHA, "");
    return false;
  }
  if (!handleErrors(table, status)) return false;
  if (json && !info) {
    std::printf("%s: option --json needs --info\n", kProgram);
    *status = kExitOptionError;
    return false;
  }

  // The table admits 0 to 4 only, each of which has a level.
  const int64_t verbosity = handles_.verbosity->count > 0 ? handles_.verbosity->ints[0] : 3;
  zf_log_set_output_level(zf_log_verbosity_to_level(verbosity));

  options.deleteConverted = handles_.deleteConverted->count == 1;
  options.noAppendRoot = handles_.noAppendRoot->count == 1;
  options.nonInteractive = handles_.nonInteractive->count == 1;
  options.bufferSize = handles_.buffer->count > 0 ? handles_.buffer->ints[0] : 0;
  options.utc = handles_.utc->count == 1;
  jobs = handles_.jobs->count > 0 ? static_cast<uint32_t>(handles_.jobs->ints[0])
                                  : cWorkUnits_defaultJobs();

  if (!loadPasswords(status)) return false;
  if (!findCommonRoot(status)) return false;
  if (!openFileSystems(status)) return false;
  // An extension that cannot complete (no database loaded) stops the run; the
  // run converted nothing, which must not look like success.
  if (extension_ && !extension_->parseOptionsComplete(*this)) {
    *status = kExitOptionError;
    return false;
  }
  return true;
}

// The password file must be usable when it is there: one that does not
// open (named), cannot be read or is malformed stops the run with status 1,
// so that encrypted files do not fail later for a reason that is not theirs.
bool cLogReaderCLI::loadPasswords(int32_t* status) {
  const bool named = !passwordFile.empty();
  std::string path = named ? passwordFile.front() : std::string(kDefaultPasswordFile);
  if (!named) cFS_os_normalizePath(&path);
  errno = 0;
  // A folder opens on this system; normalising marked it with "/".
  const int fd = path.ends_with('/') ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int err = path.ends_with('/') ? EISDIR : errno != 0 ? errno : EIO;
    if (!named && err == ENOENT) {
      LOG_INFO("%ld password(s) loaded", 0L);
      return true;
    }
    LOG_ERROR("Failed to open password file at %s: %s", path.c_str(), std::strerror(err));
    *status |= kExitMissingInput;
    return false;
  }
  std::string text;
  errno = 0;
  const bool read = readAll(fd, &text);
  const int err = errno != 0 ? errno : EIO;
  ::close(fd);
  if (!read) {
    LOG_ERROR("Could not read password file %s: %s", path.c_str(), std::strerror(err));
  } else if (cLogReaderCLI_parsePasswords(text, path, &options.passwords)) {
    LOG_INFO("%ld password(s) loaded", static_cast<long>(options.passwords.size()));
    return true;
  }
  *status |= kExitMissingInput;
  return false;
}

bool cLogReaderCLI_commonRoot(const std::vector<std::string>& inputs, std::string* root) {
  std::set<std::string> roots;
  for (const std::string& p : inputs) {
    int64_t i = static_cast<int64_t>(p.size()) - 1;
    if (p.size() > 1 && p.back() == '/') --i;
    while (i >= 1 && p[static_cast<size_t>(i)] != '/') --i;
    if (i < 1) {
      LOG_FATAL("Could not find root for %.*s", static_cast<int>(p.size()), p.data());
      return false;
    }
    roots.insert(p.substr(0, static_cast<size_t>(i) + 1));
  }
  if (roots.size() > 1) {
    LOG_FATAL("No common root detected for all inputs");
    LOG_FATAL("The inputs lie in %zu folders, such as %s and %s: give inputs of one folder, or a"
              " folder that holds them all",
              roots.size(), roots.begin()->c_str(), std::next(roots.begin())->c_str());
    return false;
  }
  if (!roots.empty()) *root = *roots.begin();
  return true;
}

bool cLogReaderCLI::findCommonRoot(int32_t* status) {
  if (!cLogReaderCLI_commonRoot(inputs, &root)) {
    *status = kExitNoCommonRoot;
    return false;
  }
  for (std::string& p : inputs) p.erase(0, std::min(root.size(), p.size()));
  return true;
}

// A run that cannot start because of a path the user gave must not look like
// a successful one: a missing input root reports "input does not exist" (1),
// one that cannot be queried (no permission, a symbolic-link loop) 0x81, an
// unusable output directory an option error; each with the system's reason.
bool cLogReaderCLI::openFileSystems(int32_t* status) {
  errno = 0;
  inputFs_ = cFS_os_ctor(root);
  if (!inputFs_) {
    const int err = errno;
    if (err == 0 || err == ENOENT || err == ENOTDIR) {
      LOG_WARN("Could not find input file/folder %s", root.c_str());
      *status |= kExitMissingInput;
    } else {
      LOG_ERROR("Could not open input folder %s: %s", root.c_str(), std::strerror(err));
      *status |= kExitNotFileOrFolder;
    }
    return false;
  }
  // The inspection mode writes nothing, so its output folder is not made.
  if (!outputDirectory.empty() && !info) {
    // Made when it does not exist yet (with its parents); one that cannot be
    // made is refused as an invalid output path, with the reason.
    std::string& output = outputDirectory.front();
    if (output.empty()) {  // -O "$OUT" with OUT unset: not the working directory
      LOG_ERROR("Invalid output path: the path is empty");
      *status = kExitOptionError;
      return false;
    }
    std::replace(output.begin(), output.end(), '\\', '/');  // a separator in any path given
    std::error_code made;
    std::filesystem::create_directories(output, made);
    std::error_code ignored;
    if (std::filesystem::exists(output, ignored) && !std::filesystem::is_directory(output, ignored))
      outputProblem_ = std::strerror(ENOTDIR);
    else if (made)
      outputProblem_ = made.message();
    cFS_os_normalizePath(&output);
    errno = 0;
    outputFs_ = cFS_os_ctor(output);
    if (!outputFs_) {
      if (outputProblem_.empty()) outputProblem_ = std::strerror(errno != 0 ? errno : ENOTDIR);
      LOG_ERROR("Invalid output path: %s: %s", output.c_str(), outputProblem_.c_str());
      *status = kExitOptionError;
      return false;
    }
  }
  options.unpackFolder = outputFs_ ? outputDirectory.front() : root;
  return true;
}
