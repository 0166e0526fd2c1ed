// Parsing and running registration scripts.
#include "registrar/script.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "registry/registry.h"
#include "text/text.h"

namespace velmora::registrar {
namespace {

thread_local std::string t_lastParseError;

char16_t upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

bool sameNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (upper(a[i]) != upper(b[i])) return false;
  return true;
}

std::string utf8(std::u16string_view s) { return text::utf8FromUtf16(std::u16string(s)); }

enum class TokenKind { Word, Quoted, Open, Close, Equals, End };

struct Token {
  TokenKind kind;
  std::u16string text;
  int line;
};

class Parser {
 public:
  explicit Parser(std::u16string_view text) : m_text(text) {}

  base::Result<Script> parse() {
    Script script;
    while (true) {
      Token t = next();
      if (t.kind == TokenKind::End) break;
      if (t.kind != TokenKind::Word) return fail(t, "expected a root key such as HKCR");
      if (!sameNoCase(t.text, u"HKCR") && !sameNoCase(t.text, u"HKEY_CLASSES_ROOT"))
        return fail(t,
                    "root key '" + utf8(t.text) + "' is not kept by this registry; only HKCR is");
      ScriptKey root;
      root.name = u"HKEY_CLASSES_ROOT";
      root.flag = KeyFlag::NoRemove;
      Token open = next();
      if (open.kind != TokenKind::Open) return fail(open, "expected '{' after the root key");
      if (!parseBlock(root)) return error();
      script.roots.push_back(std::move(root));
    }
    return script;
  }

 private:
  base::Result<Script> fail(const Token& t, const std::string& what) {
    m_error = "line " + std::to_string(t.line) + ": " + what;
    return error();
  }
  bool failed(const Token& t, const std::string& what) {
    m_error = "line " + std::to_string(t.line) + ": " + what;
    return false;
  }
  base::Error error() const { return base::Error{DISP_E_EXCEPTION, m_error}; }

  Token next() {
    if (m_peeked) {
      m_peeked = false;
      return m_peek;
    }
    while (m_pos < m_text.size()) {
      char16_t c = m_text[m_pos];
      if (c == u'\n') ++m_line;
      if (c != u' ' && c != u'\t' && c != u'\r' && c != u'\n' && c != 0xFEFF) break;
      ++m_pos;
    }
    if (m_pos >= m_text.size()) return {TokenKind::End, {}, m_line};
    char16_t c = m_text[m_pos];
    if (c == u'\'') {
      int line = m_line;
      std::u16string value;
      for (++m_pos; m_pos < m_text.size(); ++m_pos) {
        char16_t q = m_text[m_pos];
        if (q == u'\'') {
          if (m_pos + 1 < m_text.size() && m_text[m_pos + 1] == u'\'') {
            value += u'\'';
            ++m_pos;
            continue;
          }
          ++m_pos;
          return {TokenKind::Quoted, value, line};
        }
        if (q == u'\n') ++m_line;
        value += q;
      }
      m_unterminated = true;
      return {TokenKind::End, {}, line};
    }
    size_t start = m_pos;
    while (m_pos < m_text.size()) {
      char16_t w = m_text[m_pos];
      if (w == u' ' || w == u'\t' || w == u'\r' || w == u'\n' || w == u'\'') break;
      ++m_pos;
    }
    // Tokens are separated by white space, so a class id such as {0D87...}
    // is a name; braces and '=' standing alone are the syntax.
    std::u16string word(m_text.substr(start, m_pos - start));
    if (word == u"{") return {TokenKind::Open, word, m_line};
    if (word == u"}") return {TokenKind::Close, word, m_line};
    if (word == u"=") return {TokenKind::Equals, word, m_line};
    return {TokenKind::Word, word, m_line};
  }
  Token peek() {
    if (!m_peeked) {
      m_peek = next();
      m_peeked = true;
    }
    return m_peek;
  }

  bool endError(const Token& t, const std::string& what) {
    if (m_unterminated) return failed(t, "a quoted text is not closed");
    return failed(t, what);
  }

  // After '{': sub-keys and values up to the matching '}'.
  bool parseBlock(ScriptKey& key) {
    while (true) {
      Token t = next();
      if (t.kind == TokenKind::Close) return true;
      if (t.kind == TokenKind::End) return endError(t, "missing '}' at the end of the script");
      if (t.kind != TokenKind::Word && t.kind != TokenKind::Quoted)
        return failed(t, "expected a key name, got '" + utf8(t.text) + "'");
      const bool ok = t.kind == TokenKind::Word && sameNoCase(t.text, u"val")
                          ? parseNamedValue(key)
                          : parseSubKey(std::move(t), key);
      if (!ok) return false;
    }
  }

  // After 'val': the value's name, '=' and its type and data.
  bool parseNamedValue(ScriptKey& key) {
    Token name = next();
    if (name.kind != TokenKind::Word && name.kind != TokenKind::Quoted)
      return endError(name, "expected a value name after 'val'");
    Token eq = next();
    if (eq.kind != TokenKind::Equals)
      return endError(eq, "expected '=' after value name '" + utf8(name.text) + "'");
    ScriptValue value;
    if (!parseValue(value)) return false;
    key.values.emplace_back(name.text, std::move(value));
    return true;
  }

  static KeyFlag flagOf(std::u16string_view word) {
    if (sameNoCase(word, u"ForceRemove")) return KeyFlag::ForceRemove;
    if (sameNoCase(word, u"NoRemove")) return KeyFlag::NoRemove;
    if (sameNoCase(word, u"Delete")) return KeyFlag::Delete;
    return KeyFlag::None;
  }

  // A sub-key from its first token: an optional flag, the name, an optional
  // default value and an optional block.
  bool parseSubKey(Token t, ScriptKey& key) {
    ScriptKey sub;
    if (t.kind == TokenKind::Word) sub.flag = flagOf(t.text);
    if (sub.flag != KeyFlag::None) {
      t = next();
      if (t.kind != TokenKind::Word && t.kind != TokenKind::Quoted)
        return endError(t, "expected a key name after the key's flag");
    }
    sub.name = t.text;
    if (sub.name.empty()) return failed(t, "a key name is empty");
    if (peek().kind == TokenKind::Equals) {
      next();
      if (!parseValue(sub.defaultValue)) return false;
      sub.hasDefault = true;
    }
    if (peek().kind == TokenKind::Open) {
      next();
      if (!parseBlock(sub)) return false;
    }
    key.subKeys.push_back(std::move(sub));
    return true;
  }

  bool parseValue(ScriptValue& value) {
    Token type = next();
    if (type.kind != TokenKind::Word || type.text.size() != 1)
      return endError(type, "expected a value type (s, e, d, b or m) after '='");
    Token data = next();
    if (data.kind != TokenKind::Quoted && data.kind != TokenKind::Word)
      return endError(data, "expected a quoted value after the type");
    auto putText = [&](std::u16string_view s) {
      auto* b = reinterpret_cast<const BYTE*>(s.data());
      value.data.insert(value.data.end(), b, b + s.size() * sizeof(char16_t));
      value.data.push_back(0);
      value.data.push_back(0);
    };
    switch (upper(type.text[0])) {
      case u'S':
      case u'E':
        value.type = upper(type.text[0]) == u'S' ? REG_SZ : REG_EXPAND_SZ;
        putText(data.text);
        return true;
      case u'M': {
        value.type = REG_MULTI_SZ;
        std::u16string_view rest = data.text;
        while (!rest.empty()) {
          size_t cut = rest.find(u"\\0");
          putText(rest.substr(0, cut));
          if (cut == std::u16string_view::npos) break;
          rest.remove_prefix(cut + 2);
        }
        value.data.push_back(0);
        value.data.push_back(0);
        return true;
      }
      case u'D': {
        value.type = REG_DWORD;
        std::string digits = utf8(data.text);
        char* end = nullptr;
        unsigned long long n = std::strtoull(digits.c_str(), &end, 0);
        if (digits.empty() || *end || n > 0xFFFFFFFFull)
          return failed(data, "'" + digits + "' is not a 32-bit number");
        for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<BYTE>(n >> (8 * i)));
        return true;
      }
      case u'B': {
        value.type = REG_BINARY;
        std::string hex = utf8(data.text);
        if (hex.size() % 2) return failed(data, "binary value '" + hex + "' has an odd length");
        for (size_t i = 0; i < hex.size(); i += 2) {
          char pair[3] = {hex[i], hex[i + 1], 0};
          char* end = nullptr;
          long byte = std::strtol(pair, &end, 16);
          if (*end || !std::isxdigit(static_cast<unsigned char>(pair[0])))
            return failed(data, "binary value '" + hex + "' is not hexadecimal");
          value.data.push_back(static_cast<BYTE>(byte));
        }
        return true;
      }
      default: return failed(type, "unknown value type '" + utf8(type.text) + "'");
    }
  }

  std::u16string_view m_text;
  size_t m_pos = 0;
  int m_line = 1;
  bool m_peeked = false;
  bool m_unterminated = false;
  Token m_peek{};
  std::string m_error;
};

HRESULT fromStatus(LSTATUS s) { return s == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(s); }

HRESULT registerKey(HKEY parent, const ScriptKey& key) {
  const WCHAR* name = key.name.c_str();
  if (key.flag == KeyFlag::Delete || key.flag == KeyFlag::ForceRemove) {
    LSTATUS s = RegDeleteTreeW(parent, name);
    if (s != ERROR_SUCCESS && s != ERROR_FILE_NOT_FOUND) return fromStatus(s);
    if (key.flag == KeyFlag::Delete) return S_OK;
  }
  HKEY hKey = nullptr;
  LSTATUS s = RegCreateKeyExW(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &hKey, nullptr);
  if (s != ERROR_SUCCESS) return fromStatus(s);
  HRESULT hr = S_OK;
  auto set = [&](const WCHAR* valueName, const ScriptValue& v) {
    return fromStatus(RegSetValueExW(hKey, valueName, 0, v.type, v.data.data(),
                                     static_cast<DWORD>(v.data.size())));
  };
  if (key.hasDefault) hr = set(nullptr, key.defaultValue);
  for (size_t i = 0; SUCCEEDED(hr) && i < key.values.size(); ++i)
    hr = set(key.values[i].first.c_str(), key.values[i].second);
  for (size_t i = 0; SUCCEEDED(hr) && i < key.subKeys.size(); ++i)
    hr = registerKey(hKey, key.subKeys[i]);
  RegCloseKey(hKey);
  return hr;
}

HRESULT unregisterKey(HKEY parent, const ScriptKey& key) {
  const WCHAR* name = key.name.c_str();
  if (key.flag == KeyFlag::Delete) return S_OK;
  if (key.flag == KeyFlag::ForceRemove) {
    LSTATUS s = RegDeleteTreeW(parent, name);
    return s == ERROR_FILE_NOT_FOUND ? S_OK : fromStatus(s);
  }
  HKEY hKey = nullptr;
  LSTATUS s = RegOpenKeyExW(parent, name, 0, KEY_ALL_ACCESS, &hKey);
  if (s == ERROR_FILE_NOT_FOUND) return S_OK;
  if (s != ERROR_SUCCESS) return fromStatus(s);
  HRESULT hr = S_OK;
  for (size_t i = 0; SUCCEEDED(hr) && i < key.subKeys.size(); ++i)
    hr = unregisterKey(hKey, key.subKeys[i]);
  if (FAILED(hr) || key.flag == KeyFlag::NoRemove) {
    RegCloseKey(hKey);
    return hr;
  }
  for (auto& [valueName, value] : key.values) {
    s = RegDeleteValueW(hKey, valueName.c_str());
    if (s != ERROR_SUCCESS && s != ERROR_FILE_NOT_FOUND) {
      RegCloseKey(hKey);
      return fromStatus(s);
    }
  }
  // A key that still has sub-keys the script does not name belongs to
  // someone else as well, and stays.
  WCHAR probe[256];
  DWORD cch = 256;
  s = RegEnumKeyExW(hKey, 0, probe, &cch, nullptr, nullptr, nullptr, nullptr);
  RegCloseKey(hKey);
  if (s == ERROR_SUCCESS || s == ERROR_MORE_DATA) return S_OK;
  if (s != ERROR_NO_MORE_ITEMS) return fromStatus(s);
  s = RegDeleteKeyW(parent, name);
  return s == ERROR_FILE_NOT_FOUND ? S_OK : fromStatus(s);
}

}  // namespace

bool NoCaseLess::operator()(const std::u16string& a, const std::u16string& b) const {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i)
    if (upper(a[i]) != upper(b[i])) return upper(a[i]) < upper(b[i]);
  return a.size() < b.size();
}

base::Result<Script> parseScript(std::u16string_view source, const Replacements& replacements) {
  std::u16string text;
  text.reserve(source.size());
  int line = 1;
  for (size_t i = 0; i < source.size(); ++i) {
    if (source[i] == u'\n') ++line;
    if (source[i] != u'%') {
      text += source[i];
      continue;
    }
    size_t end = source.find(u'%', i + 1);
    if (end == std::u16string_view::npos) {
      t_lastParseError = "line " + std::to_string(line) + ": '%' without a closing '%'";
      return base::Error{DISP_E_EXCEPTION, t_lastParseError};
    }
    std::u16string name(source.substr(i + 1, end - i - 1));
    if (name.empty()) {
      text += u'%';
    } else if (auto it = replacements.find(name); it != replacements.end()) {
      text += it->second;
    } else {
      t_lastParseError =
          "line " + std::to_string(line) + ": no replacement for %" + utf8(name) + "%";
      return base::Error{DISP_E_EXCEPTION, t_lastParseError};
    }
    i = end;
  }
  auto script = Parser(text).parse();
  if (!script) t_lastParseError = script.error().message;
  return script;
}

HRESULT runScript(const Script& script, bool registerMode) {
  registry::Transaction transaction;
  if (LSTATUS s = transaction.status()) return fromStatus(s);
  HRESULT hr = S_OK;
  for (const ScriptKey& root : script.roots) {
    for (const ScriptKey& key : root.subKeys) {
      hr = registerMode ? registerKey(HKEY_CLASSES_ROOT, key)
                        : unregisterKey(HKEY_CLASSES_ROOT, key);
      if (FAILED(hr)) break;
    }
    if (FAILED(hr)) break;
  }
  // What was written before a failing step stays, as on Windows.
  LSTATUS s = transaction.commit();
  return FAILED(hr) ? hr : fromStatus(s);
}

std::u16string decodeScript(const std::vector<uint8_t>& bytes) {
  if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    std::u16string out((bytes.size() - 2) / 2, u'\0');
    std::memcpy(out.data(), bytes.data() + 2, out.size() * 2);
    return out;
  }
  UINT codePage = CP_ACP;
  size_t skip = 0;
  if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
    codePage = CP_UTF8;
    skip = 3;
  }
  auto* in = reinterpret_cast<const char*>(bytes.data()) + skip;
  int length = static_cast<int>(bytes.size() - skip);
  if (length == 0) return {};
  int units = MultiByteToWideChar(codePage, 0, in, length, nullptr, 0);
  std::u16string out(static_cast<size_t>(units), u'\0');
  MultiByteToWideChar(codePage, 0, in, length, out.data(), units);
  return out;
}

const std::string& lastParseError() { return t_lastParseError; }

}  // namespace velmora::registrar
