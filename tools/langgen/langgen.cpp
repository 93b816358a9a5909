// Writes the program's language files from the readable tables in lang/.
//
//   lumbra_langgen --languages English,Italiano,Español
//                  --captions lang/captions.tsv --messages lang/messages.tsv --out DIR
//
// A table is UTF-8 text, one row a line, cells separated by tabs. Empty lines
// and lines starting with '#' are comments. The first row names the columns:
// "key" and then one column per language. Every other row holds a key and its
// text in each language; in a cell \n, \t, \s and \\ stand for newline, tab,
// space and backslash (write a space that ends a line as \s, since editors drop
// trailing spaces).
//
// Caption rows get string IDs from 1, message rows from 10001, in table order.
// Out come TKLocalIndex.lng (both indexes) and TK<language>.lng for each
// language, in the format the language manager reads.
//
// A row that would give the program a wrong or missing text stops the build
// with an error naming the file and line: a wrong number of cells, an empty
// cell, an unknown escape, invalid UTF-8, a text longer than 512 UTF-16 units,
// a key repeated (case is ignored, as in the program's look-up), a key that is
// the start of another key followed by a space (the index could not tell the
// two apart), texts of one row that begin or end with different numbers of
// spaces, and captions whose accelerator marks (&) differ in number.
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/CommandLine.h"
#include "base/Exceptions.h"
#include "base/Files.h"
#include "base/Text.h"

namespace fs = std::filesystem;
using lumbra::LowerAscii;
using lumbra::ReadFileBytes;
using lumbra::Utf16Length;
using lumbra::Utf8Path;
using lumbra::WriteFileAtomically;

namespace {

constexpr int kFirstCaptionId = 1;
constexpr int kFirstMessageId = 10001;
constexpr int kLastId = 65535;
constexpr size_t kMaxTextUnits = 512;

struct TError {
  std::string message;
};

[[noreturn]] void Fail(const std::string& file, int line, const std::string& what) {
  throw TError{file + ":" + std::to_string(line) + ": " + what};
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> cells;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    cells.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return cells;
    start = tab + 1;
  }
}

std::string UnescapeCell(const std::string& cell, const std::string& file, int line,
                         size_t column) {
  std::string out;
  for (size_t i = 0; i < cell.size(); ++i) {
    if (cell[i] != '\\') {
      out.push_back(cell[i]);
      continue;
    }
    char e = i + 1 < cell.size() ? cell[++i] : '\0';
    switch (e) {
      case 'n':
        out.push_back('\n');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 's':
        out.push_back(' ');
        break;
      case '\\':
        out.push_back('\\');
        break;
      default:
        Fail(file, line,
             "column " + std::to_string(column + 1) + ": unknown escape \\" +
                 (e == '\0' ? std::string("at the end") : std::string(1, e)) +
                 " (use \\n, \\t, \\s or \\\\)");
    }
  }
  return out;
}

size_t LeadingSpaces(const std::string& s) {
  size_t n = s.find_first_not_of(' ');
  return n == std::string::npos ? s.size() : n;
}

size_t TrailingSpaces(const std::string& s) {
  size_t n = s.find_last_not_of(' ');
  return n == std::string::npos ? s.size() : s.size() - 1 - n;
}

// Accelerator marks: "&" before a character; "&&" is a literal ampersand.
int Accelerators(const std::string& s) {
  int n = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '&') continue;
    if (i + 1 < s.size() && s[i + 1] == '&')
      ++i;
    else
      ++n;
  }
  return n;
}

struct TRow {
  int line = 0;
  int id = 0;
  std::string key;
  std::vector<std::string> texts;  // in the order of the languages given
};

struct TTable {
  std::string file;
  std::vector<TRow> rows;
};

TTable ReadTable(const std::string& file, const std::vector<std::string>& languages, bool captions,
                 int firstId) {
  std::optional<std::string> bytes = ReadFileBytes(Utf8Path(file));
  if (!bytes) throw TError{file + ": cannot be read"};
  std::string content = std::move(*bytes);
  if (content.starts_with("\xEF\xBB\xBF")) content.erase(0, 3);

  TTable table{file, {}};
  std::vector<size_t> columnOf;  // language i is in cell columnOf[i]
  std::map<std::string, int> lineOfKey;
  std::istringstream lines(content);
  std::string text;
  int lineNo = 0;
  int id = firstId;
  while (std::getline(lines, text)) {
    ++lineNo;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty() || text[0] == '#') continue;
    if (!Utf16Length(text)) Fail(file, lineNo, "not valid UTF-8");
    std::vector<std::string> cells = SplitTabs(text);
    if (columnOf.empty()) {
      if (cells[0] != "key")
        Fail(file, lineNo, "the first row must name the columns: key, then the languages");
      std::set<std::string> wanted(languages.begin(), languages.end()), seen;
      for (const std::string& language : languages) {
        size_t c = 1;
        while (c < cells.size() && cells[c] != language) ++c;
        if (c == cells.size()) Fail(file, lineNo, "no column for the language " + language);
        columnOf.push_back(c);
      }
      for (size_t c = 1; c < cells.size(); ++c)
        if (!wanted.count(cells[c]) || !seen.insert(cells[c]).second)
          Fail(file, lineNo, "unexpected or repeated column \"" + cells[c] + "\"");
      continue;
    }
    if (cells.size() != languages.size() + 1)
      Fail(file, lineNo,
           "expected " + std::to_string(languages.size() + 1) +
               " tab-separated cells (key and one text per language), found " +
               std::to_string(cells.size()));
    TRow row;
    row.line = lineNo;
    row.key = UnescapeCell(cells[0], file, lineNo, 0);
    if (row.key.empty()) Fail(file, lineNo, "empty key");
    if (row.key[0] == '#' || row.key[0] == '[')
      Fail(file, lineNo, "a key must not start with '#' or '[' (they mark comments and sections)");
    for (char c : row.key)
      if (static_cast<unsigned char>(c) < 0x20)
        Fail(file, lineNo, "the key holds a control character");
    for (size_t i = 0; i < languages.size(); ++i) {
      size_t c = columnOf[i];
      std::string t = UnescapeCell(cells[c], file, lineNo, c);
      if (t.empty()) Fail(file, lineNo, "no " + languages[i] + " text");
      if (*Utf16Length(t) > kMaxTextUnits)
        Fail(file, lineNo, "the " + languages[i] + " text is longer than 512 UTF-16 units");
      row.texts.push_back(std::move(t));
    }
    const std::string& first = row.texts[0];
    for (size_t i = 1; i < row.texts.size(); ++i) {
      const std::string& t = row.texts[i];
      if (LeadingSpaces(t) != LeadingSpaces(first) || TrailingSpaces(t) != TrailingSpaces(first))
        Fail(file, lineNo,
             "the " + languages[i] + " text begins or ends with other spaces than the " +
                 languages[0] + " one (a final space is written \\s)");
      if (captions && Accelerators(t) != Accelerators(first))
        Fail(file, lineNo,
             "the " + languages[i] + " text has another number of accelerators (&) than the " +
                 languages[0] + " one");
    }
    auto [it, fresh] = lineOfKey.emplace(LowerAscii(row.key), lineNo);
    if (!fresh)
      Fail(file, lineNo,
           "the key \"" + row.key + "\" repeats line " + std::to_string(it->second) +
               " (case is ignored)");
    if (id > kLastId || (captions && id >= kFirstMessageId)) Fail(file, lineNo, "too many rows");
    row.id = id++;
    table.rows.push_back(std::move(row));
  }
  if (columnOf.empty()) throw TError{file + ": no header row"};
  // Keys the prefix search of the index would confuse: sorted, such a pair is adjacent.
  std::map<std::string, const TRow*> sorted;
  for (const TRow& r : table.rows) sorted[LowerAscii(r.key) + " "] = &r;
  for (auto a = sorted.begin(), b = std::next(a); a != sorted.end() && b != sorted.end(); ++a, ++b)
    if (b->first.starts_with(a->first))
      Fail(file, b->second->line,
           "the key \"" + b->second->key + "\" starts with the key \"" + a->second->key +
               "\" of line " + std::to_string(a->second->line) +
               " and a space; the index could not tell them apart");
  return table;
}

std::string EscapeText(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out.push_back(c);
        break;
    }
  }
  return out;
}

std::vector<std::string> SplitCommas(const std::string& s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  std::string item;
  while (std::getline(in, item, ','))
    if (!item.empty()) out.push_back(item);
  return out;
}

int Usage() {
  std::cerr
      << "usage: lumbra_langgen --languages L1,L2,... --captions FILE --messages FILE --out DIR\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> argument = lumbra::Utf8Arguments(argc, argv);
  argc = static_cast<int>(argument.size());
  std::map<std::string, std::string> args;
  for (int i = 1; i + 1 < argc; i += 2) args[argument[i]] = argument[i + 1];
  if (argc % 2 == 0 || !args.count("--languages") || !args.count("--captions") ||
      !args.count("--messages") || !args.count("--out"))
    return Usage();
  std::vector<std::string> languages = SplitCommas(args["--languages"]);
  if (languages.empty()) return Usage();
  try {
    TTable captions = ReadTable(args["--captions"], languages, true, kFirstCaptionId);
    TTable messages = ReadTable(args["--messages"], languages, false, kFirstMessageId);
    const std::string origin = "# Written by lumbra_langgen from " +
                               fs::path(captions.file).filename().string() + " and " +
                               fs::path(messages.file).filename().string() + "; edit those.\n";
    fs::path out = Utf8Path(args["--out"]);
    std::error_code ec;
    fs::create_directories(out, ec);

    std::string index = origin + "[3001]\n";
    for (const TRow& r : captions.rows) index += r.key + " " + std::to_string(r.id) + "\n";
    index += "[3002]\n";
    for (const TRow& r : messages.rows) index += r.key + " " + std::to_string(r.id) + "\n";
    WriteFileAtomically(out / "TKLocalIndex.lng", index, "language index");

    for (size_t i = 0; i < languages.size(); ++i) {
      std::string texts = origin;
      for (const TTable* t : {&captions, &messages})
        for (const TRow& r : t->rows)
          texts += std::to_string(r.id) + " " + EscapeText(r.texts[i]) + "\n";
      WriteFileAtomically(out / Utf8Path("TK" + languages[i] + ".lng"), texts, "language file");
    }
  } catch (const TError& e) {
    std::cerr << "lumbra_langgen: " << e.message << "\n";
    return 1;
  } catch (const lumbra::Exception& e) {
    std::cerr << "lumbra_langgen: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
