#pragma once
// Functions on track data shared by the reader layer, the drivers and the
// application: the track-2 digit cipher, the two track-2 check digits, number
// formatting and splitting. Track data are byte strings; positions count from 1.
#include <cstdint>
#include <string>
#include <vector>

#include "base/Text.h"

namespace lumbra {

inline constexpr char kTesseraKey[] = "6193057248";

// (Re)builds the cipher table; idempotent and cheap.
void BuildTesseraTable();
// The table's character for row (0..10) and position (from 1). The rotation
// continues past position 27, so data of any length has an entry.
char TesseraTableAt(int row, size_t position);

// Stored form to plain: digits go through the table, anything else becomes 'F'.
AnsiString DecodeTessera(const AnsiString& S);
// Plain to stored form; a character that no row holds at its position is dropped.
AnsiString EncodeTessera(const AnsiString& S);

// Sum of the character codes in an 8-bit accumulator (wrapping modulo 256),
// plus 1, modulo 100.
std::uint8_t TesseraChecksum(const AnsiString& S);
// True when the last two characters are the check value of the rest.
bool CheckTesseraChecksum(const AnsiString& S);

// Hexadecimal text (up to 8 digits, either case) to a 32-bit value; anything
// else raises EConvertError.
std::int32_t HexToInt(const std::string& S);

std::string PadDigits(const std::string& S, std::int32_t Len, char Fill);
std::string CardinalToDigits(std::uint32_t Value, std::int32_t Len);
std::string WordToDigits(std::uint32_t Value, std::int32_t Len);  // low 16 bits

void SplitText(const std::string& S, std::vector<std::string>& List, char Separator);
// As SplitText; each part is converted from 8-bit characters to text.
void SplitAnsiText(const AnsiString& S, std::vector<std::string>& List, char Separator);

}  // namespace lumbra
