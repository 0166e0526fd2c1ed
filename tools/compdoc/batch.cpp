#include "batch.h"

#include <sys/stat.h>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <sstream>
#include <thread>

#include "attribute_table.h"
#include "command.h"
#include "plugin_host.h"

namespace fs = std::filesystem;

namespace compdoc {

const char* reasonForOpenFailure(HRESULT hr) {
  switch (hr) {
    case STG_E_FILENOTFOUND:
    case STG_E_PATHNOTFOUND: return reason::kMissing;
    case STG_E_ACCESSDENIED:
    case STG_E_READFAULT: return reason::kUnreadable;
    case STG_E_SHAREVIOLATION:
    case STG_E_LOCKVIOLATION: return reason::kBusy;
    // What the platform answers for a file without the compound signature.
    case STG_E_FILEALREADYEXISTS: return reason::kNotCompound;
    case STG_E_TOOMANYOPENFILES:
    case STG_E_INSUFFICIENTMEMORY:
    case E_OUTOFMEMORY: return reason::kFailed;
    default: return reason::kDamaged;
  }
}

namespace {

// The custom list's names as the platform enumerates them; see
// probeDocument.
void readCustomNames(IPropertySetStorage* setStorage, std::vector<WideString>& out) {
  std::vector<WideString> names;
  IPropertyStorage* props = nullptr;
  if (SUCCEEDED(setStorage->Open(FMTID_UserDefinedProperties, STGM_READ | STGM_SHARE_EXCLUSIVE,
                                 &props))) {
    PROPSPEC codePage = {};
    codePage.ulKind = PRSPEC_PROPID;
    codePage.propid = PID_CODEPAGE;
    PROPVARIANT value;
    PropVariantInit(&value);
    if (props->ReadMultiple(1, &codePage, &value) == S_OK) names.emplace_back(kCodePageRecordName);
    PropVariantClear(&value);
    IEnumSTATPROPSTG* it = nullptr;
    if (SUCCEEDED(props->Enum(&it))) {
      STATPROPSTG stat = {};
      while (it->Next(1, &stat, nullptr) == S_OK) {
        names.emplace_back(stat.lpwstrName ? stat.lpwstrName : OLESTR(""));
        CoTaskMemFree(stat.lpwstrName);
      }
      it->Release();
    }
    props->Release();
  }
  for (auto& name : names) {
    bool seen = false;
    for (auto& kept : out) seen = seen || lstrcmpiW(kept.c_str(), name.c_str()) == 0;
    if (!seen) out.push_back(std::move(name));
  }
}

}  // namespace

Problem probeDocument(const std::string& file, std::vector<WideString>* customNames,
                      IUnknown** keepOpen) {
  // The platform opens regular files only and says at once what else it
  // met; the file's kind is looked at here only to name a refusal.
  WideString path = fromUtf8(file);
  IPropertySetStorage* setStorage = nullptr;
  HRESULT hr =
      StgOpenStorageEx(path.c_str(), STGM_PRIORITY | STGM_READ, STGFMT_ANY, 0, nullptr, nullptr,
                       IID_IPropertySetStorage, reinterpret_cast<void**>(&setStorage));
  if (FAILED(hr)) {
    struct stat st;
    if ((hr == STG_E_ACCESSDENIED || hr == STG_E_FILEALREADYEXISTS) &&
        ::stat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
      return {reason::kNotCompound, S_ISDIR(st.st_mode) ? "a folder" : "not a regular file"};
    // Damage is named with what the engine found; the other reasons say it all.
    const char* why = reasonForOpenFailure(hr);
    std::string found = describeFailure(hr);
    return {why, why == reason::kDamaged ? found : describeHresult(hr)};
  }
  if (customNames) readCustomNames(setStorage, *customNames);
  // Held open, the probe's read-only open is the one the plug-in's read
  // shares (the platform serves a second priority read of a file from the
  // first), so a document is opened and read once.
  if (keepOpen)
    *keepOpen = setStorage;
  else
    setStorage->Release();
  return {};
}

void addBatchOptions(CLI::App& sub, BatchOptions& o) {
  sub.footer(kExitStatusText);
  sub.add_flag("-r,--recursive", o.recursive, "descend into the subfolders of a FOLDER");
  sub.add_option("--ext", o.extensions,
                 "the extensions by which a FOLDER's files are taken, comma-separated "
                 "(default: the plug-in's own list; '*': every file)");
  sub.add_option("-j,--jobs", o.jobs, "worker threads (default: one per core)");
  sub.add_flag("--json", o.json, "one JSON object a line");
  sub.add_flag("--csv", o.csv, "comma-separated values after a header line");
  sub.add_flag("-H,--with-file", o.withFile, "the file on every record, also for one document");
  sub.add_option("--files-from", o.filesFrom,
                 "read the names of documents from this file, one a line ('-': standard input)");
  sub.add_flag("-q,--quiet", o.quiet, "no summary at the end of a batch");
  sub.add_option("--plugin", o.plugin, "the plug-in library (default: beside compdoc)");
  sub.add_option("FILE", o.operands,
                 "documents, FOLDERs, or '-' for names on standard input, one a line");
}

namespace {

std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

// An input of the batch: a file to run the job on, or a folder that could
// not be listed (reported as that folder's problem).
struct Input {
  std::string path;
  std::optional<Problem> problem;
};

class InputList {
 public:
  InputList(bool recursive, std::set<std::string> extensions, bool everyFile)
      : m_recursive(recursive), m_extensions(std::move(extensions)), m_everyFile(everyFile) {}

  // A named file is always taken, whatever its extension, so that a name
  // that is wrong is reported rather than skipped.
  void addNamed(const std::string& name) {
    std::error_code ec;
    if (fs::is_directory(name, ec))
      addFolder(name);
    else
      m_inputs.push_back({name, std::nullopt});
  }

  bool addList(std::istream& in) {
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) addNamed(line);
    }
    return !in.bad();
  }

  std::vector<Input>& inputs() { return m_inputs; }

 private:
  bool wanted(const fs::path& file) const {
    if (m_everyFile) return true;
    std::string ext = file.extension().string();
    return ext.size() > 1 && m_extensions.count(lower(ext.substr(1)));
  }

  // Entries in name order, so that the records come in the same order on
  // every run; links to folders are not followed (no cycles), links to files
  // are, and a dangling link is taken and reported missing.
  void addFolder(const fs::path& folder) {
    std::vector<fs::directory_entry> entries;
    std::error_code ec;
    fs::directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) entries.push_back(*it);
    if (ec) {
      m_inputs.push_back({folder.string(), Problem{reason::kUnreadable, ec.message()}});
      return;
    }
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
      return a.path().filename() < b.path().filename();
    });
    for (const auto& entry : entries) {
      // The listing gives each entry's type, so only links cost a call.
      std::error_code e1, e2;
      const bool link = entry.is_symlink(e1);
      if (!link && entry.is_directory(e1)) {
        if (m_recursive) addFolder(entry.path());
      } else if (!link ? entry.is_regular_file(e1)
                       : (fs::is_regular_file(entry.status(e2)) || !fs::exists(entry.status(e2)))) {
        if (wanted(entry.path())) m_inputs.push_back({entry.path().string(), std::nullopt});
      }
      // Pipes, devices and sockets in a tree are no documents; opening one
      // could block.
    }
  }

  bool m_recursive;
  std::set<std::string> m_extensions;
  bool m_everyFile;
  std::vector<Input> m_inputs;
};

std::set<std::string> splitExtensions(const std::string& list) {
  std::set<std::string> out;
  std::stringstream items(list);
  for (std::string ext; std::getline(items, ext, ',');) {
    while (!ext.empty() && (ext.front() == '.' || ext.front() == ' ')) ext.erase(0, 1);
    while (!ext.empty() && ext.back() == ' ') ext.pop_back();
    if (!ext.empty()) out.insert(lower(ext));
  }
  return out;
}

std::string csvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos &&
      (text.empty() || (text.front() != ' ' && text.back() != ' ')))
    return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string fieldText(const nlohmann::ordered_json& value) {
  if (value.is_null()) return "";
  if (value.is_string()) return value.get<std::string>();
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// A string as JSON text, as the JSON library writes it (no escapes beyond
// the required ones, bad UTF-8 replaced): ASCII is escaped here, anything
// else is left to the library.
void appendJsonString(const std::string& text, std::string& out) {
  auto plain = [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 0x20 && u < 0x80 && c != '"' && c != '\\';
  };
  size_t run = 0;
  while (run < text.size() && plain(text[run])) ++run;
  if (run == text.size()) {
    out += '"';
    out += text;
    out += '"';
    return;
  }
  for (size_t i = run; i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) >= 0x80) {
      out += nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
      return;
    }
  }
  out += '"';
  out.append(text, 0, run);
  for (size_t i = run; i < text.size(); ++i) {
    const char c = text[i];
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (static_cast<unsigned char>(c) <= 0x1F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x",
                        unsigned(static_cast<unsigned char>(c)));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

// A field as the JSON library writes the same value.
void appendJsonField(const Field& f, std::string& out) {
  switch (f.kind) {
    case Field::Kind::kNull: out += "null"; break;
    case Field::Kind::kString: appendJsonString(f.text, out); break;
    case Field::Kind::kInteger: out += std::to_string(f.integer); break;
    case Field::Kind::kReal: out += nlohmann::json(f.real).dump(); break;
    case Field::Kind::kBool: out += f.boolean ? "true" : "false"; break;
  }
}

// A field as fieldText gives the same value.
std::string fieldText(const Field& f) {
  switch (f.kind) {
    case Field::Kind::kNull: return "";
    case Field::Kind::kString: return f.text;
    default: {
      std::string out;
      appendJsonField(f, out);
      return out;
    }
  }
}

class Printer {
 public:
  Printer(const BatchOptions& o, const std::vector<std::string>& columns, bool withFile)
      : m_format(o.json  ? OutputFormat::kJson
                 : o.csv ? OutputFormat::kCsv
                         : OutputFormat::kText),
        m_columns(columns),
        m_withFile(withFile) {
    // Each column's JSON key, written once a record.
    for (const std::string& c : m_columns) {
      m_columnKeys.emplace_back();
      appendJsonString(c, m_columnKeys.back());
      m_columnKeys.back() += ':';
    }
  }

  void header(std::string& out) const {
    if (m_format != OutputFormat::kCsv) return;
    bool first = true;
    if (m_withFile) out += "file", first = false;
    for (const auto& c : m_columns) {
      if (!first) out += ',';
      out += csvField(c);
      first = false;
    }
    out += '\n';
  }

  void record(const std::string& file, const nlohmann::ordered_json& r, std::string& out) const {
    switch (m_format) {
      case OutputFormat::kJson: {
        nlohmann::ordered_json line;
        if (m_withFile) line["file"] = file;
        for (const auto& c : m_columns) line[c] = r.contains(c) ? r[c] : nullptr;
        out += line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        break;
      }
      case OutputFormat::kCsv:
      case OutputFormat::kText:
        delimited(file, out, [&](size_t c) {
          return r.contains(m_columns[c]) ? fieldText(r[m_columns[c]]) : "";
        });
        break;
    }
    out += '\n';
  }

  // Every record of a document given as fields; the file is written out
  // once for them all.
  size_t records(const std::string& file, const std::vector<Field>& fields,
                 std::string& out) const {
    const size_t width = std::max<size_t>(m_columns.size(), 1);
    const size_t count = (fields.size() + width - 1) / width;
    if (count == 0) return 0;
    std::string fileText;
    if (m_format == OutputFormat::kJson && m_withFile) appendJsonString(file, fileText);
    for (size_t r = 0; r < count; ++r) {
      const size_t first = r * width;
      record(file,
             std::span<const Field>(fields).subspan(first, std::min(width, fields.size() - first)),
             out, fileText.empty() ? nullptr : &fileText);
    }
    return count;
  }

  // One record given as fields, one a column; `fileJson`, when given, is
  // the file as JSON text.
  void record(const std::string& file, std::span<const Field> fields, std::string& out,
              const std::string* fileJson = nullptr) const {
    static const Field kMissing;
    auto field = [&](size_t c) -> const Field& { return c < fields.size() ? fields[c] : kMissing; };
    switch (m_format) {
      case OutputFormat::kJson: {
        out += '{';
        bool first = true;
        if (m_withFile) {
          out += "\"file\":";
          if (fileJson)
            out += *fileJson;
          else
            appendJsonString(file, out);
          first = false;
        }
        for (size_t c = 0; c < m_columns.size(); ++c) {
          if (!first) out += ',';
          first = false;
          out += m_columnKeys[c];
          appendJsonField(field(c), out);
        }
        out += '}';
        break;
      }
      case OutputFormat::kCsv:
      case OutputFormat::kText:
        delimited(file, out, [&](size_t c) { return fieldText(field(c)); });
        break;
    }
    out += '\n';
  }

 private:
  // A CSV or tab-separated line: the file when asked for, then each column's
  // text as `text(column)` gives it.
  template <typename Text>
  void delimited(const std::string& file, std::string& out, Text&& text) const {
    const bool csv = m_format == OutputFormat::kCsv;
    bool first = true;
    auto put = [&](const std::string& value) {
      if (!first) out += csv ? ',' : '\t';
      if (csv)
        out += csvField(value);
      else
        appendEscaped(value, out);
      first = false;
    };
    if (m_withFile) put(file);
    for (size_t c = 0; c < m_columns.size(); ++c) put(text(c));
  }

  OutputFormat m_format;
  std::vector<std::string> m_columns;
  std::vector<std::string> m_columnKeys;  // "column": as JSON
  bool m_withFile;
};

// "\r[#####.....] 120/400 files, 850/s, 2 failures" on a terminal.
class Progress {
 public:
  Progress(bool enabled, size_t total)
      : m_enabled(enabled), m_total(total), m_start(std::chrono::steady_clock::now()) {}

  void update(size_t done, size_t failures, bool force = false) {
    if (!m_enabled) return;
    auto now = std::chrono::steady_clock::now();
    if (!force && now - m_last < std::chrono::milliseconds(100)) return;
    m_last = now;
    double seconds = std::chrono::duration<double>(now - m_start).count();
    constexpr int kWidth = 24;
    int filled = m_total ? int(double(done) / double(m_total) * kWidth) : kWidth;
    std::string bar(size_t(filled), '#');
    bar.resize(kWidth, '.');
    std::fprintf(stderr, "\r[%s] %zu/%zu files, %.0f/s, %zu failure%s\033[K", bar.c_str(), done,
                 m_total, seconds > 0 ? double(done) / seconds : 0.0, failures,
                 failures == 1 ? "" : "s");
    m_shown = true;
  }

  // Clears the bar before other text goes to standard error.
  void clear() {
    if (m_shown) std::fputs("\r\033[K", stderr);
    m_shown = false;
  }

 private:
  bool m_enabled;
  size_t m_total;
  std::chrono::steady_clock::time_point m_start, m_last{};
  bool m_shown = false;
};

struct Summary {
  size_t documents = 0, failedDocuments = 0, records = 0;
  std::map<std::string, size_t> byReason;

  std::string text(const std::string& command, const std::string& noun) const {
    std::string out = "compdoc " + command + ": " + std::to_string(documents) + " document" +
                      (documents == 1 ? "" : "s") + " (" +
                      std::to_string(documents - failedDocuments) + " served, " +
                      std::to_string(failedDocuments) + " failed), " + std::to_string(records) +
                      " " + noun + "; failures: ";
    if (byReason.empty()) return out + "none\n";
    bool first = true;
    for (const auto& [why, count] : byReason) {
      out += (first ? "" : ", ") + why + " " + std::to_string(count);
      first = false;
    }
    return out + "\n";
  }
};

// Options that exclude each other or leave nothing to read: the usage exit
// with its message, or 0.
int refusedUsage(const std::string& command, const BatchOptions& o) {
  if (o.json && o.csv) {
    std::cerr << "compdoc " << command << ": --json and --csv exclude each other\n";
    return kExitUsage;
  }
  if (o.operands.empty() && o.filesFrom.empty()) {
    std::cerr << "compdoc " << command << ": no document given\n";
    return kExitUsage;
  }
  int stdinUses = int(std::count(o.operands.begin(), o.operands.end(), "-")) + (o.filesFrom == "-");
  if (stdinUses > 1) {
    std::cerr << "compdoc " << command << ": standard input can be read once\n";
    return kExitUsage;
  }
  return 0;
}

void keepFreedMemory() {
#ifdef __GLIBC__
  // Documents are read one after another, each allocating and freeing
  // the same large buffers (a thumbnail is copied several times on its
  // way out): freed memory is kept for the next document instead of going
  // back to the system and being faulted in again page by page.
  mallopt(M_MMAP_THRESHOLD, 8 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
}

// The extensions a folder is searched for: those asked for, else the
// plug-in's own.
std::string extensionsToServe(PluginHost& host, const BatchOptions& o) {
  std::string extensionList = o.extensions;
  if (extensionList.empty()) {
    BSTR company = nullptr, description = nullptr, extensions = nullptr;
    if (SUCCEEDED(host.formats()->GetFormatInfo(&company, &description, &extensions)))
      extensionList = bstrToUtf8(extensions);
    SysFreeString(company);
    SysFreeString(description);
    SysFreeString(extensions);
  }
  return extensionList;
}

// One document named alone is answered as before batches: no file column,
// no summary.
bool answersAsBatch(const BatchOptions& o) {
  if (!o.filesFrom.empty() || o.operands.size() != 1 || o.operands[0] == "-") return true;
  std::error_code ec;
  return fs::is_directory(o.operands[0], ec);
}

// The operands, then the list named by --files-from; false when that list
// cannot be read.
bool gatherInputs(const BatchOptions& o, InputList& list) {
  for (const std::string& operand : o.operands) {
    if (operand == "-") {
      list.addList(std::cin);
    } else {
      list.addNamed(operand);
    }
  }
  if (o.filesFrom.empty()) return true;
  if (o.filesFrom == "-") return list.addList(std::cin);
  std::ifstream in(o.filesFrom);
  return in && list.addList(in);
}

// The documents served on a pool of workers. A document's records are
// formatted on the worker that read it; the worker that completes the run
// of documents next in order prints them, so that nothing waits on one
// printing thread.
class OrderedRun {
 public:
  OrderedRun(const std::vector<Input>& inputs, const DocumentJob& job, IVltFileFormat* formats,
             const Printer& printer, Progress& progress, Summary& summary, std::string& out)
      : m_inputs(inputs),
        m_job(job),
        m_formats(formats),
        m_printer(printer),
        m_progress(progress),
        m_summary(summary),
        m_out(out),
        m_results(inputs.size()) {}

  void run(unsigned workers) {
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < workers; ++t) pool.emplace_back([this] { work(); });
    for (auto& t : pool) t.join();
    printReady();  // nothing is left unless there were no inputs
  }

 private:
  struct Done {
    std::string text;
    size_t records = 0;
    std::vector<Problem> problems;
  };

  void work() {
    // The navigators are apartment-threaded: each worker is an apartment of
    // its own and keeps every navigator it makes to itself.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    for (size_t i; (i = m_next.fetch_add(1)) < m_inputs.size();) {
      Done done = format(m_inputs[i].path, serve(m_inputs[i]));
      std::lock_guard<std::mutex> lock(m_mutex);
      m_results[i] = std::move(done);
      printReady();
    }
    CoUninitialize();
  }

  DocumentResult serve(const Input& input) const {
    DocumentResult result;
    if (input.problem) {
      result.problems.push_back(*input.problem);
      return result;
    }
    try {
      result = m_job(m_formats, input.path);
    } catch (const std::exception& e) {
      result = DocumentResult{};
      result.problems.push_back({reason::kFailed, e.what()});
    }
    return result;
  }

  Done format(const std::string& file, DocumentResult result) const {
    Done done;
    done.text.reserve((result.records.size() + result.fields.size() / 4 + 1) * (file.size() + 96));
    for (const auto& record : result.records) m_printer.record(file, record, done.text);
    done.records = result.records.size() + m_printer.records(file, result.fields, done.text);
    done.problems = std::move(result.problems);
    return done;
  }

  void printReady() {  // under `m_mutex`
    for (; m_printed < m_inputs.size() && m_results[m_printed]; ++m_printed) {
      Done result = std::move(*m_results[m_printed]);
      m_results[m_printed].reset();
      print(m_inputs[m_printed].path, result);
      size_t failures = 0;
      for (const auto& [why, count] : m_summary.byReason) failures += count;
      m_progress.update(m_printed + 1, failures, m_printed + 1 == m_inputs.size());
    }
  }

  // A document's records to standard output, its problems to standard
  // error, both counted.
  void print(const std::string& file, const Done& result) {
    m_out += result.text;
    if (m_out.size() > (1 << 16) || !result.problems.empty()) {
      std::fwrite(m_out.data(), 1, m_out.size(), stdout);
      m_out.clear();
    }
    ++m_summary.documents;
    m_summary.records += result.records;
    bool failed = false;
    if (!result.problems.empty()) {
      std::fflush(stdout);
      m_progress.clear();
      for (const Problem& p : result.problems) {
        std::string line = "compdoc: " + escapePath(file) + ": " + p.reason;
        if (!p.detail.empty()) line += ": " + escapePath(p.detail);
        std::fprintf(stderr, "%s\n", line.c_str());
        if (!p.counted) continue;
        ++m_summary.byReason[p.reason];
        failed = failed || p.wholeDocument;
      }
    }
    m_summary.failedDocuments += failed;
  }

  const std::vector<Input>& m_inputs;
  const DocumentJob& m_job;
  IVltFileFormat* m_formats;
  const Printer& m_printer;
  Progress& m_progress;
  Summary& m_summary;
  std::string& m_out;
  std::vector<std::optional<Done>> m_results;
  std::mutex m_mutex;
  std::atomic<size_t> m_next{0};
  size_t m_printed = 0;
};

}  // namespace

int runBatch(const std::string& command, const BatchOptions& o,
             const std::vector<std::string>& columns, const std::string& recordNoun,
             const DocumentJob& job) {
  if (int refused = refusedUsage(command, o)) return refused;
  keepFreedMemory();
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  struct Uninit {
    ~Uninit() { CoUninitialize(); }
  } uninit;
  PluginHost host;
  std::string error;
  if (!host.load(o.plugin, error)) {
    std::cerr << "compdoc: " << error << "\n";
    return kExitFailure;
  }

  std::string extensionList = extensionsToServe(host, o);
  InputList list(o.recursive, splitExtensions(extensionList), extensionList == "*");
  bool batch = answersAsBatch(o);
  if (!gatherInputs(o, list)) {
    std::cerr << "compdoc " << command << ": cannot read the list " << o.filesFrom << "\n";
    return kExitFailure;
  }
  std::vector<Input>& inputs = list.inputs();

  unsigned workers = o.jobs ? o.jobs : std::max(1u, std::thread::hardware_concurrency());
  workers = unsigned(std::min<size_t>(workers, std::max<size_t>(inputs.size(), 1)));

  Printer printer(o, columns, batch || o.withFile);
  Progress progress(batch && isatty(STDERR_FILENO), inputs.size());
  Summary summary;
  std::string out;
  printer.header(out);
  OrderedRun(inputs, job, host.formats(), printer, progress, summary, out).run(workers);
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
  progress.clear();
  if (batch && !o.quiet) std::fputs(summary.text(command, recordNoun).c_str(), stderr);
  return summary.byReason.empty() ? kExitOk : kExitFailure;
}

}  // namespace compdoc
