#include "catalog/JetTranslator.h"

#include <strings.h>
#include <algorithm>
#include <cctype>
#include <vector>

namespace kavelin {
namespace {

enum class TokenKind { Space, Word, Quoted, String, Number, Parameter, Symbol };

struct Token {
    TokenKind kind;
    std::string text;
};

using Tokens = std::vector<Token>;

bool IsWordStart(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) || c == '_';
}
bool IsWordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

Tokens Tokenize(const std::string& text) {
    Tokens tokens;
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        const char c = text[i];
        const std::size_t start = i;
        if (std::isspace(static_cast<unsigned char>(c))) {
            while (i < n && std::isspace(static_cast<unsigned char>(text[i]))) {
                ++i;
            }
            tokens.push_back({TokenKind::Space, " "});
        } else if (c == '-' && i + 1 < n && text[i + 1] == '-') {
            while (i < n && text[i] != '\n') {
                ++i;
            }
            tokens.push_back({TokenKind::Space, " "});
        } else if (c == '\'') {
            ++i;
            while (i < n) {
                if (text[i] == '\'') {
                    if (i + 1 < n && text[i + 1] == '\'') {
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                ++i;
            }
            tokens.push_back({TokenKind::String, text.substr(start, i - start)});
        } else if (c == '[' || c == '"' || c == '`') {
            const char close = c == '[' ? ']' : c;
            ++i;
            while (i < n && text[i] != close) {
                ++i;
            }
            i = std::min(i + 1, n);
            tokens.push_back({TokenKind::Quoted, text.substr(start, i - start)});
        } else if (IsWordStart(c)) {
            while (i < n && IsWordChar(text[i])) {
                ++i;
            }
            tokens.push_back({TokenKind::Word, text.substr(start, i - start)});
        } else if (std::isdigit(static_cast<unsigned char>(c))) {
            while (i < n && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '.')) {
                ++i;
            }
            tokens.push_back({TokenKind::Number, text.substr(start, i - start)});
        } else if ((c == ':' || c == '@') && i + 1 < n && IsWordStart(text[i + 1])) {
            ++i;
            while (i < n && IsWordChar(text[i])) {
                ++i;
            }
            tokens.push_back({TokenKind::Parameter, ":" + text.substr(start + 1, i - start - 1)});
        } else {
            static const char* const kPairs[] = {"<=", ">=", "<>", "!=", "||", "=="};
            std::size_t length = 1;
            for (const char* pair : kPairs) {
                if (text.compare(i, 2, pair) == 0) {
                    length = 2;
                }
            }
            i += length;
            tokens.push_back({TokenKind::Symbol, text.substr(start, length)});
        }
    }
    return tokens;
}

std::string Join(const Tokens& tokens) {
    std::string text;
    for (const Token& token : tokens) {
        text += token.text;
    }
    return text;
}

bool IsWord(const Token& token, const char* word) {
    return token.kind == TokenKind::Word && strcasecmp(token.text.c_str(), word) == 0;
}

bool IsSymbol(const Token& token, const char* symbol) {
    return token.kind == TokenKind::Symbol && token.text == symbol;
}

// Index of the next token after `i` that is not a blank, or tokens.size().
std::size_t NextSolid(const Tokens& tokens, std::size_t i) {
    ++i;
    while (i < tokens.size() && tokens[i].kind == TokenKind::Space) {
        ++i;
    }
    return i;
}

// Index of the previous token before `i` that is not a blank, or npos.
std::size_t PreviousSolid(const Tokens& tokens, std::size_t i) {
    while (i > 0) {
        --i;
        if (tokens[i].kind != TokenKind::Space) {
            return i;
        }
    }
    return std::string::npos;
}

bool IsQualified(const Tokens& tokens, std::size_t i) {
    const std::size_t before = PreviousSolid(tokens, i);
    const std::size_t after = NextSolid(tokens, i);
    return (before != std::string::npos && IsSymbol(tokens[before], ".")) ||
           (after < tokens.size() && IsSymbol(tokens[after], "."));
}

constexpr int kMaxStoredQueryDepth = 8;

void ExpandStoredQueries(Tokens& tokens, const JetTranslator::StoredQueryLookup& lookup,
                         int depth) {
    if (!lookup || depth >= kMaxStoredQueryDepth) {
        return;
    }
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (tokens[i].kind != TokenKind::Word || IsQualified(tokens, i)) {
            continue;
        }
        const std::size_t before = PreviousSolid(tokens, i);
        if (before == std::string::npos ||
            !(IsWord(tokens[before], "FROM") || IsWord(tokens[before], "JOIN"))) {
            continue;
        }
        const auto sql = lookup(tokens[i].text);
        if (!sql) {
            continue;
        }
        Tokens inner = Tokenize(*sql);
        while (!inner.empty() &&
               (inner.back().kind == TokenKind::Space || IsSymbol(inner.back(), ";"))) {
            inner.pop_back();
        }
        ExpandStoredQueries(inner, lookup, depth + 1);
        Tokens replacement{{TokenKind::Symbol, "("}};
        replacement.insert(replacement.end(), inner.begin(), inner.end());
        replacement.push_back({TokenKind::Symbol, ")"});
        replacement.push_back({TokenKind::Space, " "});
        replacement.push_back({TokenKind::Word, "AS"});
        replacement.push_back({TokenKind::Space, " "});
        replacement.push_back(tokens[i]);
        tokens.erase(tokens.begin() + static_cast<std::ptrdiff_t>(i));
        tokens.insert(tokens.begin() + static_cast<std::ptrdiff_t>(i), replacement.begin(),
                      replacement.end());
        i += replacement.size() - 1;
    }
}

void DropFinalSemicolons(Tokens& tokens) {
    while (!tokens.empty() &&
           (tokens.back().kind == TokenKind::Space || IsSymbol(tokens.back(), ";"))) {
        tokens.pop_back();
    }
}

// "DELETE a.* FROM A a INNER JOIN B b ON cond [WHERE more]" and "DELETE * FROM ...".
void RewriteDeleteJoin(Tokens& tokens) {
    std::size_t i = NextSolid(tokens, std::string::npos);
    if (i >= tokens.size() || !IsWord(tokens[i], "DELETE")) {
        return;
    }
    std::size_t j = NextSolid(tokens, i);
    std::size_t fromIndex = std::string::npos;
    if (j < tokens.size() && IsSymbol(tokens[j], "*")) {
        fromIndex = NextSolid(tokens, j);
    } else if (j < tokens.size() && tokens[j].kind == TokenKind::Word &&
               !IsWord(tokens[j], "FROM")) {
        const std::size_t dot = NextSolid(tokens, j);
        const std::size_t star = NextSolid(tokens, dot);
        if (star < tokens.size() && IsSymbol(tokens[dot], ".") && IsSymbol(tokens[star], "*")) {
            fromIndex = NextSolid(tokens, star);
        }
    }
    if (fromIndex >= tokens.size() || !IsWord(tokens[fromIndex], "FROM")) {
        return;
    }
    // Drop the "a.*" or "*" between DELETE and FROM.
    tokens.erase(tokens.begin() + static_cast<std::ptrdiff_t>(i + 1),
                 tokens.begin() + static_cast<std::ptrdiff_t>(fromIndex));
    tokens.insert(tokens.begin() + static_cast<std::ptrdiff_t>(i + 1), {TokenKind::Space, " "});
    fromIndex = i + 2;

    // FROM table [AS] alias INNER JOIN ...
    std::size_t table = NextSolid(tokens, fromIndex);
    std::size_t k = NextSolid(tokens, table);
    if (k < tokens.size() && IsWord(tokens[k], "AS")) {
        k = NextSolid(tokens, k);
    }
    std::size_t alias = std::string::npos;
    if (k < tokens.size() && tokens[k].kind == TokenKind::Word && !IsWord(tokens[k], "INNER") &&
        !IsWord(tokens[k], "JOIN") && !IsWord(tokens[k], "WHERE")) {
        alias = k;
        k = NextSolid(tokens, k);
    }
    if (k < tokens.size() && IsWord(tokens[k], "INNER")) {
        k = NextSolid(tokens, k);
    }
    if (k >= tokens.size() || !IsWord(tokens[k], "JOIN")) {
        return;
    }
    const std::size_t joined = NextSolid(tokens, k);
    std::size_t on = joined;
    while (on < tokens.size() && !IsWord(tokens[on], "ON")) {
        ++on;
    }
    if (on >= tokens.size()) {
        return;
    }
    Tokens condition(tokens.begin() + static_cast<std::ptrdiff_t>(NextSolid(tokens, on)),
                     tokens.end());
    Tokens joinedTable(tokens.begin() + static_cast<std::ptrdiff_t>(joined),
                       tokens.begin() + static_cast<std::ptrdiff_t>(on));

    // A WHERE after the join condition, at the top level, narrows the delete.
    Tokens where;
    int depth = 0;
    for (std::size_t c = 0; c < condition.size(); ++c) {
        if (IsSymbol(condition[c], "(")) {
            ++depth;
        } else if (IsSymbol(condition[c], ")")) {
            --depth;
        } else if (depth == 0 && IsWord(condition[c], "WHERE")) {
            where.assign(condition.begin() + static_cast<std::ptrdiff_t>(c + 1), condition.end());
            condition.resize(c);
            break;
        }
    }

    Tokens result(tokens.begin(), tokens.begin() + static_cast<std::ptrdiff_t>(table + 1));
    if (alias != std::string::npos) {
        result.push_back({TokenKind::Space, " "});
        result.push_back({TokenKind::Word, "AS"});
        result.push_back({TokenKind::Space, " "});
        result.push_back(tokens[alias]);
    }
    const Tokens head = Tokenize(" WHERE EXISTS (SELECT 1 FROM ");
    result.insert(result.end(), head.begin(), head.end());
    result.insert(result.end(), joinedTable.begin(), joinedTable.end());
    result.push_back({TokenKind::Word, "WHERE"});
    result.push_back({TokenKind::Space, " "});
    result.push_back({TokenKind::Symbol, "("});
    result.insert(result.end(), condition.begin(), condition.end());
    result.push_back({TokenKind::Symbol, ")"});
    result.push_back({TokenKind::Symbol, ")"});
    if (!where.empty()) {
        const Tokens andOpen = Tokenize(" AND (");
        result.insert(result.end(), andOpen.begin(), andOpen.end());
        result.insert(result.end(), where.begin(), where.end());
        result.push_back({TokenKind::Symbol, ")"});
    }
    tokens = std::move(result);
}

// "UPDATE t SET t.[Col] = ..." : SQLite takes no qualifier on the left of SET.
void DropSetQualifiers(Tokens& tokens) {
    std::size_t first = NextSolid(tokens, std::string::npos);
    if (first >= tokens.size() || !IsWord(tokens[first], "UPDATE")) {
        return;
    }
    int depth = 0;
    bool inSet = false;
    bool atTarget = false;
    for (std::size_t i = first; i < tokens.size(); ++i) {
        const Token& token = tokens[i];
        if (IsSymbol(token, "(")) {
            ++depth;
        } else if (IsSymbol(token, ")")) {
            --depth;
        }
        if (depth != 0 || token.kind == TokenKind::Space) {
            continue;
        }
        if (IsWord(token, "SET")) {
            inSet = atTarget = true;
            continue;
        }
        if (IsWord(token, "WHERE")) {
            break;
        }
        if (inSet && IsSymbol(token, ",")) {
            atTarget = true;
            continue;
        }
        if (inSet && atTarget) {
            atTarget = false;
            const std::size_t dot = NextSolid(tokens, i);
            const std::size_t column = NextSolid(tokens, dot);
            if ((token.kind == TokenKind::Word || token.kind == TokenKind::Quoted) &&
                column < tokens.size() && IsSymbol(tokens[dot], ".")) {
                tokens.erase(tokens.begin() + static_cast<std::ptrdiff_t>(i),
                             tokens.begin() + static_cast<std::ptrdiff_t>(column));
            }
        }
    }
}

// "SELECT [DISTINCT] TOP n" -> "... LIMIT n" at the end of the same query level.
void RewriteTop(Tokens& tokens) {
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (!IsWord(tokens[i], "SELECT")) {
            continue;
        }
        std::size_t top = NextSolid(tokens, i);
        if (top < tokens.size() &&
            (IsWord(tokens[top], "DISTINCT") || IsWord(tokens[top], "ALL"))) {
            top = NextSolid(tokens, top);
        }
        const std::size_t count = NextSolid(tokens, top);
        if (count >= tokens.size() || !IsWord(tokens[top], "TOP") ||
            tokens[count].kind != TokenKind::Number) {
            continue;
        }
        const std::string limit = tokens[count].text;
        std::size_t eraseEnd = count + 1;
        if (eraseEnd < tokens.size() && tokens[eraseEnd].kind == TokenKind::Space) {
            ++eraseEnd;
        }
        tokens.erase(tokens.begin() + static_cast<std::ptrdiff_t>(top),
                     tokens.begin() + static_cast<std::ptrdiff_t>(eraseEnd));
        int depth = 0;
        std::size_t end = top;
        for (; end < tokens.size(); ++end) {
            if (IsSymbol(tokens[end], "(")) {
                ++depth;
            } else if (IsSymbol(tokens[end], ")")) {
                if (depth == 0) {
                    break;
                }
                --depth;
            } else if (depth == 0 && IsSymbol(tokens[end], ";")) {
                break;
            }
        }
        const Tokens limitTokens{{TokenKind::Space, " "},
                                 {TokenKind::Word, "LIMIT"},
                                 {TokenKind::Space, " "},
                                 {TokenKind::Number, limit}};
        tokens.insert(tokens.begin() + static_cast<std::ptrdiff_t>(end), limitTokens.begin(),
                      limitTokens.end());
    }
}

// Now, Now(), True and False, wherever they stand as bare words.
void RewriteLiterals(Tokens& tokens) {
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        Token& token = tokens[i];
        if (token.kind != TokenKind::Word || IsQualified(tokens, i)) {
            continue;
        }
        if (IsWord(token, "True")) {
            token = {TokenKind::Number, "-1"};
        } else if (IsWord(token, "False")) {
            token = {TokenKind::Number, "0"};
        } else if (IsWord(token, "Now")) {
            const std::size_t open = NextSolid(tokens, i);
            const std::size_t close = NextSolid(tokens, open);
            if (close < tokens.size() && IsSymbol(tokens[open], "(") &&
                IsSymbol(tokens[close], ")")) {
                tokens.erase(tokens.begin() + static_cast<std::ptrdiff_t>(i + 1),
                             tokens.begin() + static_cast<std::ptrdiff_t>(close + 1));
            } else if (open < tokens.size() && IsSymbol(tokens[open], "(")) {
                continue;  // a function of that name with arguments: not ours
            }
            tokens[i] = {TokenKind::Word, "datetime('now','localtime')"};
        }
    }
}

}  // namespace

std::string JetTranslator::Translate(const std::string& statement,
                                     const StoredQueryLookup& storedQueries) {
    Tokens tokens = Tokenize(statement);
    ExpandStoredQueries(tokens, storedQueries, 0);
    DropFinalSemicolons(tokens);
    RewriteDeleteJoin(tokens);
    DropSetQualifiers(tokens);
    RewriteTop(tokens);
    RewriteLiterals(tokens);
    std::string text = Join(tokens);
    const auto first = text.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : text.substr(first);
}

}  // namespace kavelin
