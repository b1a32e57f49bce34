#pragma once

// The check every dictionary text passes before a rebuilder puts it into a
// statement.
//
// The rebuild statements are plain text with the dictionary's values pasted
// in, unquoted (S_Modify, DataDictionary, DataDictReportContent and the
// column names of the dictionary's own tables). Whoever can write one of
// those rows could otherwise make the next restructure, usually run with an
// administrator's login, execute SQL of their choosing inside its
// transaction: a TableName of "T;drop table Customer--" would do. So each
// text is checked against the kind of place it fills and refused when it
// could reach beyond it. The checks only refuse: an accepted text goes into
// the statement byte for byte, and the empty text is accepted everywhere (the
// server then decides, as it would without the check).
//
// The text is read as GBK, character by character: a trail byte that has the
// value of "[", "]", "\" or "`" belongs to its Chinese character, which the
// server receives as one UTF-16 character, and is not taken for ASCII.
//
// Refused in every place:
//  - a control character (0x00-0x1F, 0x7F): the server treats tab and line
//    breaks as blanks, and nothing legitimate holds the others;
//  - a quote: ' " `;
//  - ";" and the comment markers "--", "/*", "*/";
//  - "{" and "}" (the ODBC driver rewrites escape sequences in braces before
//    the server sees the text) and "?" (the driver's parameter marker);
//  - "%": names and types are pasted into CREATE TABLE templates that are
//    filled afterwards, where a "%" would be read as a placeholder;
//  - "$(": sqlcmd replaces "$(name)" anywhere in a script, strings included,
//    with a variable or an environment variable of whoever runs it, and the
//    planned writes become such a script;
//  - a byte that is no complete GBK character (0x80, 0xFF, a lead byte
//    0x81-0xFE without a trail byte 0x40-0x7E/0x80-0xFE) and a well-formed
//    pair with no Unicode mapping: neither can be sent as it stands;
//  - GBK characters the server, or a best-fit conversion on the way, may read
//    as one of the ASCII characters refused in that place: the ideographic
//    blank (counts as a blank), the full-width forms U+FF01-FF5E, the small
//    forms U+FE50-FE6B, the minus sign U+2212, the hyphen and dashes
//    U+2010, U+2013-2015, the division slash U+2215, and the curly quotes,
//    primes and modifier-letter apostrophes. Full-width letters and digits
//    fold to letters and digits and pass.
// Refused in every name (table, column, key item), by SQL Server's own
// rules: more than 128 characters (in each part of "schema.table"), and a
// leading "#" or "@" (a temporary table, gone with the session, or a
// variable).
// Refused in a table name, besides: "[", "]", "(", ")", ",", any blank, and
// a second "." (a schema prefix, "dbo.T", is fine; a database or server
// prefix, "Other.dbo.T", would reach beyond the run's database).
// Refused in a column name: "[", "]", "(", ")", ",", ".", and a blank
// between two other characters.
// Refused in a key list: each item between the "," separators is checked as
// a column name.
// Refused in a column type: "[", "]", "," outside the parentheses, and any
// parentheses other than one pair after a type name holding numbers or
// "max" separated by "," (blanks around them allowed) with nothing but
// blanks after it. Blanks between words are fine ("double precision").
// After the type: Collate <name>, Null, Not Null, and one Default whose value
// is a number (signed or not), a string in single quotes, one of those in
// parentheses, or a built-in function without arguments: GetDate(),
// GetUTCDate(), SysDateTime(), SysUTCDateTime(), SysDateTimeOffset(),
// NewID(), NewSequentialID(), or CURRENT_TIMESTAMP, CURRENT_USER,
// SESSION_USER, SYSTEM_USER, USER. Any other call, a dotted name above all,
// could run a function written by whoever can write the dictionary under
// the restructure's login, once for every copied row.
//
// Blanks. Several names go into statements bare, for example "Drop Table %s"
// and "Insert into %s(%s) Select %s from %s ", and T-SQL needs no ";"
// between statements: a TableName "T delete Customer" would run a second
// statement. So a name must stay one word. A table name takes no blank at
// all: the detail rebuild also puts it behind the prefix "dbo.Tmp_", where a
// leading blank would make its first word a statement of its own (a
// TableName " SHUTDOWN" gives "Drop Table dbo.Tmp_ SHUTDOWN"). Column names
// only go inside the parentheses of a statement or inside square brackets,
// where a blank at either end is harmless, so it is accepted there (the
// list "A ;B;" gives the item "A "). A name with a blank between two words
// could not be used bare anyway, so refusing it everywhere costs only names
// that a rebuilder would put in square brackets alone. Column types need
// their blanks ("Decimal(18, 2)", "double precision") and go only inside the
// parentheses of CREATE TABLE, which a type cannot close without an
// unmatched ")".

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace slotsync::dictionary {

// The kinds of place a dictionary text can fill in a rebuild statement.
enum class TextPlace {
  kTableName,   // S_Modify.TableName, DataDictionary.TableName
  kColumnName,  // FieldName, names from CreateField/FixedField, report types,
                // the columns of a dictionary table, one key column
  kKeyList,     // the key list from BuildKeyList: column names joined by ","
  kColumnType,  // items of FieldKind and FixedFieldKind
};

// A dictionary text that could reach beyond its place in a statement. The run
// treats it like any failure inside its transaction: it rolls back and hands
// the message to its caller.
class DictionaryTextRefused : public std::runtime_error {
 public:
  DictionaryTextRefused(std::int32_t tableTag, std::string column, std::string text,
                        TextPlace place, std::string reason);

  std::int32_t TableTag() const noexcept { return tableTag_; }
  // The dictionary column the text came from, e.g. "S_Modify.TableName".
  const std::string& Column() const noexcept { return column_; }
  const std::string& Text() const noexcept { return text_; }
  TextPlace Place() const noexcept { return place_; }
  const std::string& Reason() const noexcept { return reason_; }

 private:
  std::int32_t tableTag_;
  std::string column_;
  std::string text_;
  TextPlace place_;
  std::string reason_;
};

// Why `text` cannot fill a place of this kind, or nothing when it can. Never
// throws for any text.
std::optional<std::string> FindRefusal(TextPlace place, std::string_view text);

// Each check passes `text` through or throws DictionaryTextRefused naming the
// TableTag, the dictionary column and the text, e.g. "TableTag 21:
// S_Modify.TableName holds 'T;drop table Customer--', which is not a table
// name (it holds the statement separator ';'); the restructure was stopped".
void CheckDictionaryText(TextPlace place, std::int32_t tableTag, std::string_view column,
                         std::string_view text);
void CheckTableName(std::int32_t tableTag, std::string_view column, std::string_view text);
// A table name the detail rebuild puts behind "dbo.Tmp_" and hands to
// sp_rename as the new name, which must be one part: a table name without
// any ".". "dbo.SalesDetail" would make "dbo.Tmp_dbo.SalesDetail".
void CheckOnePartTableName(std::int32_t tableTag, std::string_view column, std::string_view text);
void CheckColumnName(std::int32_t tableTag, std::string_view column, std::string_view text);
void CheckKeyList(std::int32_t tableTag, std::string_view column, std::string_view text);
void CheckColumnType(std::int32_t tableTag, std::string_view column, std::string_view text);

}  // namespace slotsync::dictionary
