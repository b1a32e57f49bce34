#pragma once

// How many terminal columns a text takes, so that the summary's columns line
// up under Chinese table names and Chinese headings: a byte count would give
// each character two or three columns too many or too few.

#include <cstddef>
#include <string>
#include <string_view>

namespace slotsync::cli {

// The columns a GBK text takes on a terminal.
std::size_t DisplayWidth(std::string_view gbk);

// The columns a text in the terminal's encoding takes.
std::size_t ShownWidth(std::string_view shown);

// `shown` (the terminal's form of `gbk`) followed by blanks up to `width`
// columns; at least one blank, so a long name never runs into the next column.
std::string PadToWidth(const std::string& shown, std::string_view gbk, std::size_t width);

// A text in the terminal's encoding in a column `width` columns wide, as
// std::setw puts a text whose every character takes one column: blanks after
// it (Left) or before it (Right), none when it fills the column already.
std::string Left(const std::string& shown, std::size_t width);
std::string Right(const std::string& shown, std::size_t width);

}  // namespace slotsync::cli
