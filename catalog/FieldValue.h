#pragma once

#include <cstdint>
#include <string>

namespace kavelin {

// The kind of a catalog value as the program reads it. SQLite stores only
// integers, reals and texts; the column's declared type (YESNO, SMALLINT,
// DATETIME, ...) says which of the catalog's kinds a stored value is.
enum class FieldKind : std::uint8_t { Null, Boolean, Int16, Int32, Int64, Double, DateTime, Text };

struct FieldValue {
    FieldKind kind = FieldKind::Null;
    std::int64_t integer = 0;
    double real = 0.0;
    std::string text;  // Text and DateTime ("YYYY-MM-DD HH:MM:SS")
};

// The kind that a column's declared type gives its values.
FieldKind KindFromDeclaredType(const char* declaredType);

// Conversions of ReadField. Each returns false when the value's kind has no
// such reading; the out value is then left as it was.
bool FieldToLong(const FieldValue& value, long& out);
bool FieldToInt(const FieldValue& value, int& out);
bool FieldToDouble(const FieldValue& value, double& out);
bool FieldToText(const FieldValue& value, std::string& out, const char* dateFormat);

}  // namespace kavelin
