#include "catalog/FieldValue.h"

#include <strings.h>
#include <cstdio>
#include <ctime>

namespace kavelin {

FieldKind KindFromDeclaredType(const char* declaredType) {
    if (declaredType == nullptr) {
        return FieldKind::Null;  // an expression: the stored value decides
    }
    const std::string type = declaredType;
    auto is = [&](const char* name) { return strcasecmp(type.c_str(), name) == 0; };
    if (is("YESNO") || is("BOOLEAN") || is("BIT")) {
        return FieldKind::Boolean;
    }
    if (is("SMALLINT") || is("SHORT")) {
        return FieldKind::Int16;
    }
    if (is("INTEGER") || is("INT") || is("LONG") || is("COUNTER")) {
        return FieldKind::Int32;
    }
    if (is("BIGINT")) {
        return FieldKind::Int64;
    }
    if (is("REAL") || is("DOUBLE") || is("FLOAT")) {
        return FieldKind::Double;
    }
    if (is("DATETIME") || is("DATE")) {
        return FieldKind::DateTime;
    }
    return FieldKind::Text;
}

bool FieldToLong(const FieldValue& value, long& out) {
    switch (value.kind) {
        case FieldKind::Null:
            out = 0;
            return true;
        case FieldKind::Int16:
        case FieldKind::Int32:
        case FieldKind::Int64:
            out = static_cast<long>(value.integer);
            return true;
        default:
            return false;
    }
}

bool FieldToInt(const FieldValue& value, int& out) {
    switch (value.kind) {
        case FieldKind::Null:
            out = 0;
            return true;
        case FieldKind::Boolean:
            out = value.integer != 0 ? -1 : 0;
            return true;
        case FieldKind::Int16:
        case FieldKind::Int32:
            out = static_cast<int>(value.integer);
            return true;
        default:
            return false;
    }
}

bool FieldToDouble(const FieldValue& value, double& out) {
    switch (value.kind) {
        case FieldKind::Int16:
        case FieldKind::Int32:
        case FieldKind::Int64:
            out = static_cast<double>(value.integer);
            break;
        case FieldKind::Double:
            out = value.real;
            break;
        default:
            out = 0.0;
            break;
    }
    return true;
}

bool FieldToText(const FieldValue& value, std::string& out, const char* dateFormat) {
    char buffer[64];
    switch (value.kind) {
        case FieldKind::Null:
            out.clear();
            return true;
        case FieldKind::Int16:
        case FieldKind::Int32:
        case FieldKind::Int64:
            out = std::to_string(value.integer);
            return true;
        case FieldKind::Double:
            std::snprintf(buffer, sizeof buffer, "%.20g", value.real);
            out = buffer;
            return true;
        case FieldKind::DateTime: {
            std::tm moment{};
            const char* end = strptime(value.text.c_str(), "%Y-%m-%d %H:%M:%S", &moment);
            if (end == nullptr || *end != '\0') {
                end = strptime(value.text.c_str(), "%Y-%m-%d", &moment);
            }
            const std::size_t length =
                end == nullptr || *end != '\0'
                    ? 0
                    : std::strftime(buffer, sizeof buffer,
                                    dateFormat ? dateFormat : "%Y-%m-%d %H:%M:%S", &moment);
            out = length == 0 ? "Invalid DateTime" : std::string(buffer, length);
            return true;
        }
        case FieldKind::Text:
            out = value.text;
            return true;
        case FieldKind::Boolean:
            return false;
    }
    return false;
}

}  // namespace kavelin
