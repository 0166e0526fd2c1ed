// Relinking whole trees by path prefix: a map from old to new path prefixes
// under the rules of Windows paths, and the plan for one document's links.
// Nothing here touches a document, so the rules are tested on their own.
//
// The plug-in rewrites links by file name (every link whose file name equals
// a record's is given that record's path), so a document is planned as a
// whole: one record a distinct file name, and a document in which links of
// one file name would go to different places is left alone as ambiguous.
#pragma once
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "hresult_names.h"

namespace compdoc {

struct PrefixMapping {
  WideString from;  // as given, without trailing separators
  WideString to;
};

// "OLDPREFIX=NEWPREFIX": the old prefix ends at the first '='. False, with
// the reason in `error`, when either side is empty or is only separators.
bool parseMapping(const std::string& text, PrefixMapping& mapping, std::string& error);

class PrefixMap {
 public:
  // False, with the reason in `error`, when the same old prefix (under the
  // rules below) is mapped already.
  bool add(PrefixMapping mapping, std::string& error);

  // `path` with its longest mapped prefix replaced by that prefix's new one;
  // nothing when no prefix matches. A prefix matches a path that starts with
  // it, compared without regard to case and with '/' and '\' alike, and
  // ends there or goes on with a separator: "C:\data" maps "c:/DATA/a.doc"
  // but not "C:\database\a.doc". What follows the prefix is kept as it is.
  // A path already under the new prefix, where that lies under the old one,
  // is not mapped again.
  std::optional<WideString> map(const WideString& path) const;

  bool empty() const { return m_entries.empty(); }

 private:
  struct Entry {
    WideString key;  // the old prefix with '/' as '\'
    WideString to;
  };
  std::vector<Entry> m_entries;  // longest key first
};

enum class LinkAction {
  kRewrite,    // its source moves
  kUnchanged,  // outside every prefix, or mapped to where it is
  kAmbiguous,  // it would move, but the document cannot be rewritten
};

struct LinkPlan {
  WideString source;    // the link's source as the plug-in lists it
  WideString fileName;  // the plug-in's file name of that source
  WideString target;    // where it goes (its source when it stays)
  LinkAction action = LinkAction::kUnchanged;
};

struct DocumentPlan {
  std::vector<LinkPlan> links;  // in the order of discovery
  // The update records: one file name, and the path its links go to, for
  // every distinct file name (without regard to case) whose links move.
  std::vector<std::pair<WideString, WideString>> records;
  // The first file name whose links go to different places; when set, no
  // record is made and no link is rewritten.
  std::optional<WideString> ambiguousName;
};

// The plan for a document whose links are `links` (source, file name), in
// the order of discovery.
DocumentPlan planDocument(const PrefixMap& map,
                          const std::vector<std::pair<WideString, WideString>>& links);

}  // namespace compdoc
