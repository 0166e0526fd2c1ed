// Batches: the per-document subcommands (`read`, and `refs` when it is
// there) run one job per document over files, folders and lists of names,
// on worker threads, and print the records in the order of the inputs
// whatever the number of threads. A job knows nothing of threads, output
// formats, progress or summaries; it returns its records and its problems.
// A subcommand plugs in with addBatchOptions and one runBatch call naming its
// columns and its job; `refs` would pass {"path", "name"} and a job around
// GetReferences.
#pragma once
#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/vlt_interfaces.h"
#include "hresult_names.h"

namespace CLI {
class App;
}

namespace compdoc {

// Why a document, or part of one, could not be served. The texts are those
// printed on standard error and counted in the summary.
namespace reason {
inline constexpr const char* kMissing = "missing";
inline constexpr const char* kUnreadable = "unreadable";
inline constexpr const char* kBusy = "busy";
inline constexpr const char* kNotCompound = "not a compound document";
inline constexpr const char* kDamaged = "damaged";
inline constexpr const char* kFailed = "failed";
inline constexpr const char* kNotDelivered = "not delivered";
inline constexpr const char* kNotWritten = "not written";
// A link object passed over as unreadable (noted; the other links are served).
inline constexpr const char* kSkippedLink = "unreadable link object";
// Links of one file name that a relink would send to different places.
inline constexpr const char* kAmbiguous = "ambiguous";
}  // namespace reason

struct Problem {
  std::string reason;  // one of the reason texts
  std::string detail;  // what it concerns ("Summary:Title") or the status name; may be empty
  bool wholeDocument = true;
  bool counted = true;  // false: a note, neither a failure nor in the summary
};

// One field of a record that a job hands over without a JSON document:
// a batch prints thousands of records a second, and a document per record
// costs more than reading the attribute did.
struct Field {
  enum class Kind { kNull, kString, kInteger, kReal, kBool };
  Kind kind = Kind::kNull;
  std::string text;  // kString, as UTF-8
  int64_t integer = 0;
  double real = 0;
  bool boolean = false;

  static Field null() { return {}; }
  static Field string(std::string s) {
    Field f;
    f.kind = Kind::kString;
    f.text = std::move(s);
    return f;
  }
  static Field number(int64_t n) {
    Field f;
    f.kind = Kind::kInteger;
    f.integer = n;
    return f;
  }
  static Field number(double d) {
    Field f;
    f.kind = Kind::kReal;
    f.real = d;
    return f;
  }
  static Field flag(bool b) {
    Field f;
    f.kind = Kind::kBool;
    f.boolean = b;
    return f;
  }
};

struct DocumentResult {
  std::vector<nlohmann::ordered_json> records;  // objects with the job's columns, in order
  // Further records as fields, one a column in the job's order, record
  // after record in one array; printed after `records`, in the same forms.
  std::vector<Field> fields;
  std::vector<Problem> problems;
};

// What a probe of the file says before the plug-in sees it: an empty reason
// when the platform opens it as a compound document; the reason and status
// otherwise. `customNames`, when given, receives the names of the custom
// list as the platform enumerates them (code-page record first, then set
// order, repeats without regard to case dropped). `keepOpen`, when given,
// receives the open storage for the caller to release after the plug-in has
// read the document: a read-only open, so never around a write.
Problem probeDocument(const std::string& file, std::vector<WideString>* customNames,
                      IUnknown** keepOpen = nullptr);

// The open a probe kept, released when the job's document is done.
struct HeldOpen {
  IUnknown* p = nullptr;
  HeldOpen() = default;
  HeldOpen(const HeldOpen&) = delete;
  HeldOpen& operator=(const HeldOpen&) = delete;
  ~HeldOpen() {
    if (p) p->Release();
  }
};

// The reason for a failed open of the platform's storage.
const char* reasonForOpenFailure(HRESULT hr);

// Runs for one document on a worker thread that is in its own apartment;
// `formats` is the shared format descriptor, which is agile.
using DocumentJob = std::function<DocumentResult(IVltFileFormat* formats, const std::string& file)>;

enum class OutputFormat { kText, kJson, kCsv };

struct BatchOptions {
  std::vector<std::string> operands;  // files, folders, "-" for names on standard input
  std::string filesFrom;              // a file of names, one a line ("-": standard input)
  bool recursive = false;
  std::string extensions;  // comma-separated; empty: the plug-in's list; "*": every file
  unsigned jobs = 0;       // 0: one per core
  bool json = false;
  bool csv = false;
  bool withFile = false;  // the file on every record even for one document
  bool quiet = false;     // no summary
  std::string plugin;
};

// Adds the batch options to a subcommand; FILE operands are its positional
// arguments.
void addBatchOptions(CLI::App& sub, BatchOptions& options);

// Runs `job` for every document the options name and prints the records.
// `columns` are the job's record fields in output order. Exit status: 0 when
// every document was served in full, 1 when a document or an attribute was
// not, 2 for unusable options.
// `recordNoun` names the records in the summary ("attributes").
int runBatch(const std::string& command, const BatchOptions& options,
             const std::vector<std::string>& columns, const std::string& recordNoun,
             const DocumentJob& job);

}  // namespace compdoc
