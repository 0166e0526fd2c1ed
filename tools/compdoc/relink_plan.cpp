#include "relink_plan.h"

#include <algorithm>

#include "hresult_names.h"

namespace compdoc {
namespace {

bool isSeparator(WCHAR c) { return c == u'\\' || c == u'/'; }

WideString withBackslashes(WideString text) {
  std::replace(text.begin(), text.end(), WCHAR(u'/'), WCHAR(u'\\'));
  return text;
}

// Equal without regard to case, as the plug-in compares file names.
bool sameText(const WideString& a, const WideString& b) {
  return lstrcmpiW(a.c_str(), b.c_str()) == 0;
}

}  // namespace

bool parseMapping(const std::string& text, PrefixMapping& mapping, std::string& error) {
  auto equals = text.find('=');
  if (equals == std::string::npos) {
    error = "'" + text + "' is not OLDPREFIX=NEWPREFIX";
    return false;
  }
  WideString from = fromUtf8(text.substr(0, equals));
  WideString to = fromUtf8(text.substr(equals + 1));
  // "C:\data\" and "C:\data" are one prefix; the separator that follows a
  // prefix in a path is kept from the path.
  while (!from.empty() && isSeparator(from.back())) from.pop_back();
  while (!to.empty() && isSeparator(to.back())) to.pop_back();
  if (from.empty() || to.empty()) {
    error = "'" + text + "' maps " + (from.empty() ? "from" : "to") + " no path";
    return false;
  }
  mapping = {std::move(from), std::move(to)};
  return true;
}

bool PrefixMap::add(PrefixMapping mapping, std::string& error) {
  Entry entry{withBackslashes(mapping.from), std::move(mapping.to)};
  for (const Entry& e : m_entries) {
    if (e.key.size() == entry.key.size() && sameText(e.key, entry.key)) {
      error = "the prefix '" + toUtf8(mapping.from.c_str()) + "' is mapped twice";
      return false;
    }
  }
  auto at = std::find_if(m_entries.begin(), m_entries.end(),
                         [&](const Entry& e) { return e.key.size() < entry.key.size(); });
  m_entries.insert(at, std::move(entry));
  return true;
}

namespace {

// Whether `key` (with '\' only) is `prefix` or lies under it.
bool under(const WideString& key, const WideString& prefix) {
  const size_t n = prefix.size();
  if (key.size() < n || (key.size() > n && key[n] != u'\\')) return false;
  return sameText(key.substr(0, n), prefix);
}

}  // namespace

std::optional<WideString> PrefixMap::map(const WideString& path) const {
  const WideString key = withBackslashes(path);
  for (const Entry& e : m_entries) {
    if (!under(key, e.key)) continue;
    // A new prefix under the old one ("C:\Data=C:\Data\2024"): what lies
    // under it has moved already, so a second run moves nothing.
    if (under(key, withBackslashes(e.to))) return std::nullopt;
    return e.to + path.substr(e.key.size());
  }
  return std::nullopt;
}

DocumentPlan planDocument(const PrefixMap& map,
                          const std::vector<std::pair<WideString, WideString>>& links) {
  DocumentPlan plan;
  for (const auto& [source, fileName] : links) {
    LinkPlan link{source, fileName, source, LinkAction::kUnchanged};
    if (auto target = map.map(source); target && *target != source) {
      link.target = std::move(*target);
      link.action = LinkAction::kRewrite;
    }
    plan.links.push_back(std::move(link));
  }
  // A record rewrites every link of its file name, so the links of one
  // name must all end where the record sends them, those that stay included.
  std::vector<bool> grouped(plan.links.size(), false);
  for (size_t i = 0; i < plan.links.size(); ++i) {
    if (grouped[i]) continue;
    std::vector<size_t> group;
    for (size_t j = i; j < plan.links.size(); ++j) {
      if (!grouped[j] && sameText(plan.links[j].fileName, plan.links[i].fileName)) {
        grouped[j] = true;
        group.push_back(j);
      }
    }
    auto moving = std::find_if(group.begin(), group.end(), [&](size_t k) {
      return plan.links[k].action == LinkAction::kRewrite;
    });
    if (moving == group.end()) continue;
    const WideString& target = plan.links[*moving].target;
    // Two spellings of one path (case, '/' or '\') are one place.
    const WideString place = withBackslashes(target);
    bool agreed = std::all_of(group.begin(), group.end(), [&](size_t k) {
      return sameText(withBackslashes(plan.links[k].target), place);
    });
    if (!agreed) {
      if (!plan.ambiguousName) plan.ambiguousName = plan.links[i].fileName;
      continue;
    }
    // Every link of the name ends at the record's path, spelled as it is.
    const WideString recorded = target;
    for (size_t k : group) {
      LinkPlan& link = plan.links[k];
      link.target = recorded;
      link.action = link.source == recorded ? LinkAction::kUnchanged : LinkAction::kRewrite;
    }
    plan.records.emplace_back(plan.links[i].fileName, recorded);
  }
  if (plan.ambiguousName) {
    plan.records.clear();
    for (LinkPlan& link : plan.links)
      if (link.action == LinkAction::kRewrite) link.action = LinkAction::kAmbiguous;
  }
  return plan;
}

}  // namespace compdoc
