// compdoc check [options] FILE|FOLDER...: the integrity of compound
// documents, as an administrator checks any other store: the header, the
// DIFAT, FAT and mini FAT, every chain, the directory tree (the engine's own
// survey, cfb/check.cpp), then every property set parsed strictly and every
// link object loaded as the plug-in loads it. One record a finding, with how
// much it matters and whether the plug-in's attributes or links are touched;
// a sound document gives one record saying so. Batched like read.
//
// Built on the platform's engine directly, so not part of the Windows build.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "attribute_table.h"
#include "batch.h"
#include "cfb/file_io.h"
#include "cfb/storage.h"
#include "command.h"
#include "hresult_names.h"
#include "propset/codec.h"
#include "propset/stream_name.h"

namespace compdoc {
namespace {

using velmora::cfb::Severity;

// The words of the severity column, fixed for scripts.
const char* severityText(Severity s) {
  switch (s) {
    case Severity::LosesData: return "loses-data";
    case Severity::SteppedOver: return "stepped-over";
    case Severity::Oddity: return "oddity";
  }
  return "?";
}

struct Item {
  Severity severity;
  std::string area;     // header, allocation table, chain, directory, property set, link
  std::string affects;  // attributes, links, "attributes,links" or none
  std::string finding;  // the reason
  std::string check;    // the engine's check that fired, "file:line"; empty for compdoc's own
  std::u16string path;  // the element concerned, when known
};

std::string utf8(const std::u16string& s) { return toUtf8(s.data(), s.size()); }

// An element name as text, control characters as \xNN.
std::string pathText(const std::u16string& path) { return escapePath(utf8(path)); }

bool isPropertySetName(const std::u16string& name) { return !name.empty() && name[0] == u'\005'; }

// The plug-in reads the catalogued sets (the custom list lives in the
// document-summary stream) from the root; links from ObjectPool's storages
// and a spreadsheet's LNK storages.
std::string affectsOf(const std::u16string& path) {
  for (const AttributeBlock& block : kAttributeBlocks)
    if (path == velmora::propset::streamNameFor(*block.fmtid)) return "attributes";
  if (path.rfind(u"ObjectPool/", 0) == 0 || path.rfind(u"LNK", 0) == 0) return "links";
  return "none";
}

class DocumentCheck {
 public:
  explicit DocumentCheck(const std::string& file) : m_file(file) {}

  // The whole check; a problem for a file that is no compound document or
  // cannot be read at all.
  std::optional<Problem> run() {
    auto opened =
        velmora::cfb::openPosixFile(m_file, false, velmora::cfb::Disposition::OpenExisting);
    if (!opened) {
      const auto& e = opened.error();
      return Problem{reasonForOpenFailure(e.code), describeHresult(e.code) + ": " + e.reason()};
    }
    auto findings = velmora::cfb::surveyIntegrity(**opened);
    opened.value().reset();
    if (findings.size() == 1 && findings[0].error.code == STG_E_FILEALREADYEXISTS)
      return Problem{reason::kNotCompound,
                     describeHresult(STG_E_FILEALREADYEXISTS) + ": " + findings[0].error.reason()};
    for (const auto& f : findings) {
      const auto& e = f.error;
      std::string affects = f.severity == Severity::Oddity ? "none"
                            : f.path.empty()               ? "attributes,links"
                                                           : affectsOf(f.path);
      std::string finding = e.reason();
      if (!f.path.empty()) finding += " [" + pathText(f.path) + "]";
      m_items.push_back({f.severity, velmora::base::damageName(e.kind), affects, finding,
                         e.file ? std::string(e.file) + ":" + std::to_string(e.line) : "", f.path});
    }

    IStorage* root = nullptr;
    HRESULT hr = openRootForReading(m_file, &root);
    if (FAILED(hr)) {
      // The survey named why, unless the open fails for another reason.
      if (m_items.empty())
        add(Severity::LosesData, "document", "attributes,links",
            "cannot open: " + describeFailure(hr));
      return std::nullopt;
    }
    walk(root, u"", 0);
    root->Release();
    return std::nullopt;
  }

  std::vector<Item>& items() { return m_items; }

 private:
  void add(Severity s, std::string area, std::string affects, std::string finding,
           std::u16string path = {}) {
    if (!path.empty()) finding += " [" + pathText(path) + "]";
    m_items.push_back(
        {s, std::move(area), std::move(affects), std::move(finding), "", std::move(path)});
  }

  // Whether the survey already named this element as losing data: a read
  // that fails on it says nothing new.
  bool surveyed(const std::u16string& path) const {
    for (const auto& item : m_items)
      if (item.path == path && item.severity == Severity::LosesData) return true;
    return false;
  }

  void walk(IStorage* storage, const std::u16string& prefix, int depth) {
    // Deeper than any producer nests; the directory walk bounds it too.
    if (depth > 64) return;
    std::vector<std::pair<std::u16string, DWORD>> elements;
    bool hasOle = false;
    if (!listElements(storage, elements, hasOle)) return;
    if (hasOle && depth > 0) checkLink(storage, prefix.substr(0, prefix.size() - 1));
    for (const auto& [name, type] : elements) {
      if (type == STGTY_STREAM && isPropertySetName(name))
        checkSetStream(storage, name, prefix + name);
      else if (type == STGTY_STORAGE)
        checkStorage(storage, name, prefix + name, depth);
    }
  }

  // The storage's elements with their types; whether one is a link's
  // "\1Ole" stream.
  static bool listElements(IStorage* storage,
                           std::vector<std::pair<std::u16string, DWORD>>& elements, bool& hasOle) {
    IEnumSTATSTG* it = nullptr;
    if (FAILED(storage->EnumElements(0, nullptr, 0, &it))) return false;
    STATSTG st = {};
    while (it->Next(1, &st, nullptr) == S_OK) {
      std::u16string name = st.pwcsName ? std::u16string(st.pwcsName) : std::u16string();
      CoTaskMemFree(st.pwcsName);
      if (st.type == STGTY_STREAM && name == u"\001Ole") hasOle = true;
      elements.emplace_back(std::move(name), st.type);
    }
    it->Release();
    return true;
  }

  void checkSetStream(IStorage* storage, const std::u16string& name, const std::u16string& path) {
    IStream* stream = nullptr;
    HRESULT hr =
        storage->OpenStream(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stream);
    if (FAILED(hr)) {
      if (!surveyed(path))
        add(Severity::LosesData, "property set", affectsOf(path),
            "cannot open: " + describeFailure(hr), path);
      return;
    }
    checkSet(stream, path, name);
    stream->Release();
  }

  // A storage: the set it holds when it is a non-simple one, then what is
  // inside it.
  void checkStorage(IStorage* storage, const std::u16string& name, const std::u16string& path,
                    int depth) {
    IStorage* child = nullptr;
    HRESULT hr = storage->OpenStorage(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE,
                                      nullptr, 0, &child);
    if (FAILED(hr)) {
      if (!surveyed(path))
        add(Severity::LosesData, "directory", affectsOf(path),
            "cannot open: " + describeFailure(hr), path);
      return;
    }
    if (isPropertySetName(name)) {
      // A non-simple set: its values are in CONTENTS.
      IStream* contents = nullptr;
      if (SUCCEEDED(child->OpenStream(u"CONTENTS", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0,
                                      &contents))) {
        checkSet(contents, path + u"/CONTENTS", name);
        contents->Release();
      } else {
        add(Severity::LosesData, "property set", affectsOf(path),
            "a non-simple set without its CONTENTS stream", path);
      }
    }
    walk(child, path + u"/", depth + 1);
    child->Release();
  }

  // Reads the whole stream; false, after noting why, when it cannot.
  bool readAll(IStream* stream, const std::u16string& path, std::vector<uint8_t>& bytes) {
    STATSTG st = {};
    HRESULT hr = stream->Stat(&st, STATFLAG_NONAME);
    if (SUCCEEDED(hr) && st.cbSize.QuadPart > 64ull * 1024 * 1024) {
      add(Severity::LosesData, "property set", affectsOf(path),
          "a set of " + std::to_string(st.cbSize.QuadPart) + " bytes, past any a reader loads",
          path);
      return false;
    }
    if (SUCCEEDED(hr)) {
      bytes.resize(size_t(st.cbSize.QuadPart));
      size_t done = 0;
      while (SUCCEEDED(hr) && done < bytes.size()) {
        ULONG got = 0;
        hr = stream->Read(bytes.data() + done, ULONG(bytes.size() - done), &got);
        if (got == 0) break;
        done += got;
      }
      bytes.resize(done);
    }
    if (FAILED(hr)) {
      if (!surveyed(path))
        add(Severity::LosesData, "property set", affectsOf(path),
            "cannot read: " + describeFailure(hr), path);
      return false;
    }
    return true;
  }

  void checkSet(IStream* stream, const std::u16string& path, const std::u16string& name) {
    std::vector<uint8_t> bytes;
    if (!readAll(stream, path, bytes)) return;
    const std::string affects = affectsOf(path);
    auto parsed = velmora::propset::parsePropertySet(bytes);
    if (!parsed) {
      const auto& e = parsed.error();
      m_items.push_back({Severity::LosesData, "property set", affects,
                         e.reason() + " [" + pathText(path) + "]",
                         e.file ? std::string(e.file) + ":" + std::to_string(e.line) : "", path});
      return;
    }
    // A stream named after a set holds that set's section first.
    auto named = velmora::propset::fmtidForStreamName(name);
    if (named && !parsed->find(*named))
      add(Severity::LosesData, "property set", affects,
          "the stream holds no section of the set it is named after", path);
    for (const auto& section : parsed->sections) checkSection(section, path, affects);
  }

  void checkSection(const velmora::propset::Section& section, const std::u16string& path,
                    const std::string& affects) {
    char buf[160];
    bool narrowText = false;
    for (const auto& p : section.properties) {
      if (p.id == PID_DICTIONARY || p.id == PID_CODEPAGE) continue;
      if ((p.vt & VT_TYPEMASK) == VT_LPSTR) narrowText = true;
      if (!p.readable) {
        std::snprintf(buf, sizeof buf, "property 0x%x of type 0x%04x cannot be read",
                      unsigned(p.id), unsigned(p.vt));
        add(Severity::LosesData, "property set", affects, buf, path);
      }
    }
    if (section.hasDictionary() && !section.dictionaryReadable)
      add(Severity::LosesData, "property set", affects,
          "the dictionary cannot be read: the names are lost", path);
    auto codePage = section.codePage();
    if (!codePage) {
      if (section.find(PID_CODEPAGE))
        add(Severity::SteppedOver, "property set", affects,
            "the code page property is not a 2-byte integer", path);
      else
        add(Severity::Oddity, "property set", "none", "a section without a code page", path);
    } else if (*codePage != velmora::propset::kCodePageUnicode &&
               MultiByteToWideChar(*codePage, 0, "a", 1, nullptr, 0) == 0) {
      std::snprintf(buf, sizeof buf, "code page %u is unknown", unsigned(*codePage));
      add(narrowText ? Severity::SteppedOver : Severity::Oddity, "property set",
          narrowText ? affects : "none", buf, path);
    }
  }

  void checkLink(IStorage* object, const std::u16string& path) {
    IOleLink* link = nullptr;
    HRESULT hr = OleLoad(object, IID_IOleLink, nullptr, reinterpret_cast<void**>(&link));
    if (hr == E_NOINTERFACE) return;  // an embedding
    if (FAILED(hr)) {
      std::string why = describeFailure(hr);
      add(Severity::LosesData, "link", affectsOf(path), "the link object cannot be read: " + why,
          path);
      return;
    }
    link->Release();
  }

  std::string m_file;
  std::vector<Item> m_items;
};

DocumentResult checkDocument(const std::string& file) {
  DocumentResult result;
  DocumentCheck check(file);
  if (auto problem = check.run()) {
    result.problems.push_back(*problem);
    return result;
  }
  auto& items = check.items();
  bool damaged = false, odd = false;
  for (const auto& item : items) {
    damaged = damaged || item.severity != Severity::Oddity;
    odd = odd || item.severity == Severity::Oddity;
  }
  const char* status = damaged ? "damaged" : odd ? "odd" : "sound";
  if (items.empty()) {
    nlohmann::ordered_json line;
    line["status"] = status;
    result.records.push_back(std::move(line));
  }
  for (const auto& item : items) {
    nlohmann::ordered_json line;
    line["status"] = status;
    line["severity"] = severityText(item.severity);
    line["area"] = item.area;
    line["affects"] = item.affects;
    line["finding"] = item.finding;
    line["check"] = item.check;
    result.records.push_back(std::move(line));
  }
  if (damaged) {
    // The first damage is the reason named on standard error.
    for (const auto& item : items)
      if (item.severity != Severity::Oddity) {
        result.problems.push_back({reason::kDamaged, item.finding});
        break;
      }
  }
  return result;
}

const CommandRegistration kCheck("check", [](CLI::App& app) {
  auto* sub = app.add_subcommand(
      "check",
      "check the integrity of compound documents: header, allocation tables, chains, "
      "directory, property sets and link objects; one record a finding");
  auto options = std::make_shared<BatchOptions>();
  addBatchOptions(*sub, *options);
  sub->footer(
      "Records: status (sound, odd, damaged), severity (loses-data: a read fails or serves "
      "wrong bytes; stepped-over: the reader passes over it and serves the rest; oddity: what "
      "real producers write), area, affects (attributes, links, none), finding, check.\n"
      "Exit status: 0 when every document is sound or only odd, 1 when one is damaged, "
      "missing or no compound document, 2 for usage errors.");
  return [options] {
    return runBatch("check", *options,
                    {"status", "severity", "area", "affects", "finding", "check"}, "records",
                    [](IVltFileFormat*, const std::string& file) { return checkDocument(file); });
  };
});

}  // namespace
}  // namespace compdoc
