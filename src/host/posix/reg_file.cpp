#include "host/posix/reg_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>

namespace quillo::host {
namespace {

char fold(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";

// Text that can stand between quotes in a .reg file: no control characters.
bool quotable(std::string_view s) {
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

std::string quote(std::string_view s) {
  std::string out = "\"";
  // Line breaks and NUL, which regedit never puts in a name, are written as
  // \n, \r and \0 so that a name always stays on its line.
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n' || c == '\r' || c == '\0') {
      out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\0";
      continue;
    }
    out += c;
  }
  return out + '"';
}

std::string hex_bytes(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    auto b = static_cast<unsigned char>(bytes[i]);
    if (i > 0) out += ',';
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::string format_data(const RegistryData& d) {
  if (d.type == kRegSz && quotable(d.bytes)) return quote(d.bytes);
  if (d.type == kRegDword && d.bytes.size() == 4) {
    std::uint32_t n = 0;
    for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(d.bytes[i]);
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", n);
    return buf;
  }
  if (d.type == kRegBinary) return "hex:" + hex_bytes(d.bytes);
  char buf[24];
  std::snprintf(buf, sizeof buf, "hex(%x):", d.type);
  return buf + hex_bytes(d.bytes);
}

// Reads a quoted string at s[pos] ('"'); advances pos past the closing quote.
std::optional<std::string> read_quoted(std::string_view s, std::size_t& pos) {
  if (pos >= s.size() || s[pos] != '"') return std::nullopt;
  std::string out;
  for (++pos; pos < s.size(); ++pos) {
    char c = s[pos];
    if (c == '"') {
      ++pos;
      return out;
    }
    if (c == '\\') {
      if (++pos >= s.size()) return std::nullopt;
      c = s[pos] == 'n' ? '\n' : s[pos] == 'r' ? '\r' : s[pos] == '0' ? '\0' : s[pos];
    }
    out += c;
  }
  return std::nullopt;
}

int hex_digit(char c) {
  c = fold(c);
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// A comma-separated list of two-digit hex bytes, possibly empty.
std::optional<std::string> read_hex_list(std::string_view s) {
  std::string out;
  std::size_t i = 0;
  auto skip = [&] {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  };
  skip();
  if (i == s.size()) return out;
  for (;;) {
    if (i + 2 > s.size()) return std::nullopt;
    int hi = hex_digit(s[i]), lo = hex_digit(s[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
    skip();
    if (i == s.size()) return out;
    if (s[i++] != ',') return std::nullopt;
    skip();
  }
}

// A hex number of 1 to 8 digits.
std::optional<std::uint32_t> read_hex_number(std::string_view s) {
  if (s.empty() || s.size() > 8) return std::nullopt;
  std::uint32_t n = 0;
  for (char c : s) {
    int d = hex_digit(c);
    if (d < 0) return std::nullopt;
    n = (n << 4) | static_cast<std::uint32_t>(d);
  }
  return n;
}

std::optional<RegistryData> read_data(std::string_view s) {
  if (!s.empty() && s[0] == '"') {
    std::size_t pos = 0;
    auto text = read_quoted(s, pos);
    if (!text || pos != s.size()) return std::nullopt;
    return RegistryData{kRegSz, *text};
  }
  if (s.starts_with("dword:")) {
    auto parsed = read_hex_number(s.substr(6));
    if (!parsed) return std::nullopt;
    std::uint32_t n = *parsed;
    std::string b(4, '\0');
    for (int i = 0; i < 4; ++i) b[i] = static_cast<char>((n >> (8 * i)) & 0xff);
    return RegistryData{kRegDword, b};
  }
  std::uint32_t type = kRegBinary;
  if (s.starts_with("hex(")) {
    std::size_t close = s.find(')');
    if (close == std::string_view::npos || close == 4 || close > 12) return std::nullopt;
    auto parsed = read_hex_number(s.substr(4, close - 4));
    if (!parsed) return std::nullopt;
    type = *parsed;
    s.remove_prefix(close + 1);
  } else if (s.starts_with("hex")) {
    s.remove_prefix(3);
  } else {
    return std::nullopt;
  }
  if (!s.starts_with(":")) return std::nullopt;
  auto bytes = read_hex_list(s.substr(1));
  if (!bytes) return std::nullopt;
  return RegistryData{type, *bytes};
}

// Splits the text into logical lines: CR dropped, a trailing backslash joins
// the next line (regedit wraps long hex lists that way).
std::vector<std::pair<int, std::string>> logical_lines(std::string_view text) {
  std::vector<std::pair<int, std::string>> lines;
  std::string current;
  int number = 0, start = 1;
  bool joining = false;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!joining) start = number;
    std::string_view piece = line;
    bool hex_data = joining;
    if (joining) {
      std::size_t first = piece.find_first_not_of(" \t");
      piece.remove_prefix(first == std::string_view::npos ? piece.size() : first);
    } else {
      // Only hex lists wrap; a quoted text may well end in a backslash.
      std::size_t name_end = 0;
      if (piece.starts_with("@")) {
        name_end = 1;
      } else if (!read_quoted(piece, name_end)) {
        name_end = std::string_view::npos;
      }
      hex_data = name_end != std::string_view::npos && piece.substr(name_end).starts_with("=hex");
    }
    joining = hex_data && piece.ends_with("\\");
    if (joining) piece.remove_suffix(1);
    current += piece;
    if (!joining) lines.emplace_back(start, std::move(current)), current.clear();
    pos = end + 1;
  }
  if (!current.empty()) lines.emplace_back(start, std::move(current));
  return lines;
}

}  // namespace

bool FoldLess::operator()(std::string_view a, std::string_view b) const {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    char x = fold(a[i]), y = fold(b[i]);
    if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  }
  return a.size() < b.size();
}

bool RegistryTree::key_exists(std::string_view path) const {
  if (path.empty() || keys.count(std::string(path)) > 0) return true;
  // A parent exists when some key lies below it.
  std::string prefix = std::string(path) + '\\';
  auto it = keys.lower_bound(prefix);
  if (it == keys.end() || it->first.size() < prefix.size()) return false;
  return !FoldLess{}(it->first.substr(0, prefix.size()), prefix) &&
         !FoldLess{}(prefix, it->first.substr(0, prefix.size()));
}

RegistryKey* RegistryTree::find(std::string_view path) {
  auto it = keys.find(std::string(path));
  if (it != keys.end()) return &it->second;
  return key_exists(path) ? &create(path) : nullptr;
}

RegistryKey& RegistryTree::create(std::string_view path) {
  return keys[std::string(path)];
}

std::string format_reg(const RegistryTree& tree, std::string_view root_name) {
  std::string out = std::string(kHeader) + "\n";
  for (const auto& [path, key] : tree.keys) {
    out += "\n[" + std::string(root_name) + (path.empty() ? "" : "\\") + path + "]\n";
    for (const auto& [name, data] : key.values) {
      out += (name.empty() ? std::string("@") : quote(name)) + "=" + format_data(data) + "\n";
    }
  }
  return out;
}

ParseResult parse_reg(std::string_view text, std::string_view root_name) {
  ParseResult result;
  auto fail = [&](int line, std::string what) {
    result.tree = {};
    result.error = "line " + std::to_string(line) + ": " + std::move(what);
    return result;
  };
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  bool header_seen = false;
  RegistryKey* key = nullptr;
  for (auto& [number, line] : logical_lines(text)) {
    std::string_view l = line;
    while (!l.empty() && (l.back() == ' ' || l.back() == '\t')) l.remove_suffix(1);
    if (l.empty() || l[0] == ';') continue;
    if (!header_seen) {
      if (l != kHeader && l != "REGEDIT4") return fail(number, "not a registry file header");
      header_seen = true;
      continue;
    }
    if (l[0] == '[') {
      if (l.back() != ']') return fail(number, "unclosed key name");
      std::string_view full = l.substr(1, l.size() - 2);
      std::string_view head = full.substr(0, full.find('\\'));
      if (FoldLess{}(head, root_name) || FoldLess{}(root_name, head))
        return fail(number, "key outside " + std::string(root_name));
      std::string_view path = head.size() < full.size() ? full.substr(head.size() + 1) : "";
      key = &result.tree.create(path);
      continue;
    }
    if (key == nullptr) return fail(number, "value outside any key");
    std::size_t pos = 0;
    std::string name;
    if (l[0] == '@') {
      pos = 1;
    } else {
      auto quoted = read_quoted(l, pos);
      if (!quoted) return fail(number, "bad value name");
      name = std::move(*quoted);
    }
    if (pos >= l.size() || l[pos] != '=') return fail(number, "expected '='");
    auto data = read_data(l.substr(pos + 1));
    if (!data) return fail(number, "bad value data");
    key->values[name] = std::move(*data);
  }
  // A file of blank lines only is as good as an empty one.
  return result;
}

RegistryFile::RegistryFile(std::filesystem::path file, std::string root_name, bool owner_only,
                           WarningSink warn)
    : m_file(std::move(file)),
      m_root_name(std::move(root_name)),
      m_owner_only(owner_only),
      m_warn(std::move(warn)) {}

RegistryFile::~RegistryFile() {
  unlock();
}

namespace {

// The whole file: 0, ENOENT when there is none, or the errno of a file
// that exists and cannot be read (a folder in its place reads as EISDIR).
int read_whole(const std::filesystem::path& path, std::string& text) {
  text.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  char buffer[65536];
  int err = 0;
  while (true) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) err = errno;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return err;
}

}  // namespace

int RegistryFile::load(RegistryTree& tree) {
  tree = {};
  m_damaged = false;
  m_unreadable = 0;
  std::string text;
  const int err = read_whole(m_file, text);
  if (err == ENOENT || err == ENOTDIR) return 0;
  if (err != 0) {
    m_unreadable = err;
    return err;
  }
  ParseResult parsed = parse_reg(text, m_root_name);
  if (parsed.error) {
    m_damaged = true;
    // Every operation reads the file again; one warning per damaged file is enough.
    if (m_warn && !std::exchange(m_warned, true)) {
      m_warn("the settings file " + m_file.string() + " is damaged (" + *parsed.error +
             "); its settings are ignored and defaults apply");
    }
  }
  if (!parsed.error) m_warned = false;
  tree = std::move(parsed.tree);
  return 0;
}

int RegistryFile::lock_and_load(RegistryTree& tree) {
  if (m_lock_fd < 0) {
    std::error_code ec;
    std::filesystem::path dir = m_file.parent_path();
    if (!dir.empty() && !std::filesystem::exists(dir, ec)) {
      std::filesystem::create_directories(dir, ec);
      if (ec) return ec.value();
      if (m_owner_only) ::chmod(dir.c_str(), 0700);
    }
    std::string lock_path = m_file.string() + ".lock";
    m_lock_fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, m_owner_only ? 0600 : 0644);
    if (m_lock_fd < 0) return errno;
    while (::flock(m_lock_fd, LOCK_EX) != 0) {
      if (errno != EINTR) {
        int err = errno;
        unlock();
        return err;
      }
    }
  }
  return load(tree);
}

int RegistryFile::commit(const RegistryTree& tree) {
  if (m_lock_fd < 0) return ENOLCK;
  // What could not be read is not replaced by what little was known of it.
  if (m_unreadable != 0) return m_unreadable;
  // A failure of the file system as an errno, for the store's error texts.
  auto error_of = [](const Status& st) { return st.system_error() != 0 ? st.system_error() : EIO; };
  WriteOptions options;
  options.permissions = m_owner_only ? 0600 : 0644;
  auto replacement = m_files->begin_replace(m_file.string(), options);
  if (!replacement.ok()) return error_of(replacement.status());
  {
    std::ofstream out(replacement.value()->temporary_path(), std::ios::binary | std::ios::trunc);
    out << format_reg(tree, m_root_name);
    out.close();
    if (!out) return EIO;  // the replacement removes its temporary file
  }
  if (before_rename) before_rename();
  if (m_damaged) {
    std::error_code ec;
    std::filesystem::copy_file(m_file, m_file.string() + ".bad",
                               std::filesystem::copy_options::overwrite_existing, ec);
  }
  if (const Status st = replacement.value()->commit(); !st.ok()) return error_of(st);
  m_damaged = false;
  return 0;
}

void RegistryFile::unlock() {
  if (m_lock_fd >= 0) {
    ::close(m_lock_fd);  // releases the flock
    m_lock_fd = -1;
  }
}

}  // namespace quillo::host
