// Measurement answers: one token of the response buffer turned into the caller's double.
#pragma once

namespace zolvane {

inline constexpr int kMaxFields = 8;

// Splits `str` in place at the first character of `sep` and stores the start of each field in
// `fields` (kMaxFields slots); returns the number of fields. A trailing separator adds no empty
// field; two separators in a row give an empty one. Past kMaxFields the last field holds the
// rest of the text unsplit and kMaxFields is returned.
int Sep_Str(char *str, const char *sep, char **fields);

// The leading decimal number of `text` by atof's grammar (white space, sign, digits, point,
// exponent; it stops at the first character that cannot continue the number; no number gives
// 0.0), whatever the process locale. Hexadecimal, "inf" and "nan" are not numbers here. A value
// too large for a double gives plus or minus infinity, one too small a zero, as atof does.
double parseNumber(const char *text);

// A single-value answer: exactly "NAN" gives NO_RESULT_VALUE, anything else its number.
void extractSingleValue(char *token, double *out);
// A two-field answer: "NAN" anywhere gives NO_RESULT_VALUE, otherwise the number after the
// first comma; an answer with no second field gives NO_RESULT_VALUE as well.
void extractTwoField(char *token, double *out);

}  // namespace zolvane
