#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dv/var.h"
#include "printer.h"

namespace dv {

namespace {

// 1: digit, 2: letter or '_' (a bare word starts with 2, continues over 1 or 2).
struct CharClasses {
    int table[256] = {};
    constexpr CharClasses() {
        for (int c = '0'; c <= '9'; ++c) table[c] = 1;
        for (int c = 'A'; c <= 'Z'; ++c) table[c] = 2;
        for (int c = 'a'; c <= 'z'; ++c) table[c] = 2;
        table[static_cast<unsigned char>('_')] = 2;
    }
};

constexpr CharClasses kCharClasses;

inline int charClass(char c) {
    return kCharClasses.table[static_cast<unsigned char>(c)];
}

inline bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string describe(char c) {
    char buf[24];
    int value = static_cast<signed char>(c);
    if (value < 32) {
        std::snprintf(buf, sizeof buf, "(%d)", value);
    } else {
        std::snprintf(buf, sizeof buf, "'%c' (%d)", c, value);
    }
    return buf;
}

void appendUtf8(std::string& out, long cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>((cp >> 6) | 0xC0);
        out += static_cast<char>((cp & 0x3F) | 0x80);
    } else if (cp < 0x10000) {
        out += static_cast<char>((cp >> 12) | 0xE0);
        out += static_cast<char>(((cp >> 6) & 0x3F) | 0x80);
        out += static_cast<char>((cp & 0x3F) | 0x80);
    } else {
        out += static_cast<char>((cp >> 18) | 0xF0);
        out += static_cast<char>(((cp >> 12) & 0x3F) | 0x80);
        out += static_cast<char>(((cp >> 6) & 0x3F) | 0x80);
        out += static_cast<char>((cp & 0x3F) | 0x80);
    }
}

using Entry = std::pair<std::string, Var>;

class JsonParser {
public:
    // The text is read in place; it outlives the parse.
    explicit JsonParser(const std::string& text) : input_(text), size_(text.size()) {}

    JsonParser(const JsonParser&) = delete;
    JsonParser& operator=(const JsonParser&) = delete;

    Var run() {
        Var result = value(0);
        skipBlanksAndComments();
        if (failed_) return Var();
        if (position_ < size_) return hardFail("unexpected trailing " + describe(input_[position_]));
        return result;
    }

private:
    // Soft failures stop every enclosing value, which then yields Undefined.
    void softFail(const char* message) { softFail(std::string(message)); }
    void softFail(std::string message) {
        if (!failed_) {
            error_ = std::move(message);
            failed_ = true;
        }
    }

    // Hard failures throw, unless a soft failure already stopped the parse.
    Var hardFail(std::string message) {
        if (failed_) return Var();
        error_ = std::move(message);
        failed_ = true;
        throw VarException(Var(error_));
    }

    void skipBlanks() {
        while (position_ < size_) {
            char c = input_[position_];
            if (c != ' ' && c != '\r' && c != '\n' && c != '\t') break;
            ++position_;
        }
    }

    void skipBlanksAndComments() {
        skipBlanks();
        while (commentMode_ == 1 && position_ < size_ && input_[position_] == '/') {
            if (position_ + 1 >= size_) {
                softFail("unexpected end of input after start of comment");
                return;
            }
            char kind = input_[position_ + 1];
            if (kind == '/') {
                position_ += 2;
                while (position_ < size_ && input_[position_] != '\n') ++position_;
            } else if (kind == '*') {
                size_t end = input_.find("*/", position_ + 2);
                if (end == std::string::npos) {
                    softFail("unexpected end of input inside multi-line comment");
                    return;
                }
                position_ = end + 2;
            } else {
                softFail("malformed comment");
                return;
            }
            skipBlanks();
        }
    }

    char nextToken() {
        skipBlanksAndComments();
        if (failed_) return 0;
        if (position_ >= size_) {
            softFail("unexpected end of input");
            return 0;
        }
        return input_[position_++];
    }

    bool wordAt(size_t start, const char* word, size_t length) const {
        return size_ - start >= length && std::memcmp(input_.data() + start, word, length) == 0;
    }

    std::string bareWord() {
        size_t start = position_ - 1;
        while (position_ < size_ && charClass(input_[position_]) != 0) ++position_;
        return input_.substr(start, position_ - start);
    }

    Var value(int depth) {
        if (depth > maxDepth_) return hardFail("exceeded maximum nesting depth");
        char c = nextToken();
        if (failed_) return Var();
        if (c == '-' || isDigit(c)) {
            --position_;
            return number();
        }
        size_t start = position_ - 1;
        if (c == 't' && wordAt(start, "true", 4)) {
            position_ = start + 4;
            return Var(true);
        }
        if (c == 'f' && wordAt(start, "false", 5)) {
            position_ = start + 5;
            return Var(false);
        }
        if (c == 'n' && wordAt(start, "null", 4)) {
            position_ = start + 4;
            return Var::null();
        }
        if (c == '"') {
            std::string text = string();
            if (failed_) return Var();
            return Var(std::move(text));
        }
        if (c == '{') return dict(depth);
        if (c == '[') return list(depth);
        if (c == '<') {
            for (;;) {
                char t = nextToken();
                if (failed_ || t == '>') return Var();
            }
        }
        if (charClass(c) == 2) return Var(bareWord());
        return hardFail("expected value, got " + describe(c));
    }

    Var makeList(size_t start) {
        auto first = elements_.begin() + static_cast<std::ptrdiff_t>(start);
        std::vector<Var> elements(std::make_move_iterator(first), std::make_move_iterator(elements_.end()));
        elements_.erase(first, elements_.end());
        return Var(std::move(elements));
    }

    Var list(int depth) {
        const size_t start = elements_.size();
        char c = nextToken();
        if (c == ']') return makeList(start);
        for (;;) {
            --position_;
            Var element = value(depth + 1);
            if (failed_) return Var();
            elements_.push_back(std::move(element));
            c = nextToken();
            if (c == ']') break;
            if (c != ',') return hardFail("expected ',' in list, got " + describe(c));
            c = nextToken();
        }
        return makeList(start);
    }

    // Entries go into the dict in key order, so that the dict's own entry
    // order depends only on its keys: printing and reading again gives the
    // same text. Equal keys keep the first value.
    Var makeDict(size_t start) {
        auto first = entries_.begin() + static_cast<std::ptrdiff_t>(start);
        auto last = entries_.end();
        size_t n = entries_.size() - start;
        if (n <= 32) {
            // Insertion sort: stable and without a buffer.
            for (auto i = first + (n ? 1 : 0); i < last; ++i) {
                for (auto j = i; j != first && j->first < (j - 1)->first; --j) std::swap(*j, *(j - 1));
            }
        } else {
            std::stable_sort(first, last, [](const Entry& a, const Entry& b) { return a.first < b.first; });
        }
        std::unordered_map<std::string, Var> map;
        map.reserve(n);
        for (auto i = first; i != last; ++i) map.emplace(std::move(i->first), std::move(i->second));
        entries_.erase(first, last);
        return Var(std::move(map));
    }

    Var dict(int depth) {
        const size_t start = entries_.size();
        char c = nextToken();
        if (c == '}') return makeDict(start);
        for (;;) {
            std::string key;
            if (c == '"') {
                key = string();
            } else if (charClass(c) == 2) {
                key = bareWord();
            } else {
                return hardFail("expected '\"' in object, got " + describe(c));
            }
            if (failed_) return Var();
            c = nextToken();
            if (c != ':') return hardFail("expected ':' in object, got " + describe(c));
            Var v = value(depth + 1);
            if (failed_) return Var();
            entries_.emplace_back(std::move(key), std::move(v));
            c = nextToken();
            if (c == '}') break;
            if (c != ',') return hardFail("expected ',' in object, got " + describe(c));
            c = nextToken();
        }
        return makeDict(start);
    }

    char peek() const { return position_ < size_ ? input_[position_] : 0; }

    Var number() {
        size_t start = position_;
        if (input_[position_] == '-') ++position_;
        char c = peek();
        if (c == '0') {
            ++position_;
            if (isDigit(peek())) return hardFail("leading 0s not permitted in numbers");
        } else if (c >= '1' && c <= '9') {
            ++position_;
            while (isDigit(peek())) ++position_;
        } else {
            return hardFail("invalid " + describe(c) + " in number");
        }
        c = peek();
        if (c != '.' && c != 'e' && c != 'E' && position_ - start <= 9) {
            // At most 9 bytes: fits an int.
            bool negative = input_[start] == '-';
            int v = 0;
            for (size_t i = start + (negative ? 1 : 0); i < position_; ++i) v = v * 10 + (input_[i] - '0');
            return Var(negative ? -v : v);
        }
        if (c == '.') {
            ++position_;
            if (!isDigit(peek())) return hardFail("at least one digit required in fractional part");
            while (isDigit(peek())) ++position_;
        }
        c = peek();
        if (c == 'e' || c == 'E') {
            ++position_;
            if (peek() == '+' || peek() == '-') ++position_;
            if (!isDigit(peek())) return hardFail("at least one digit required in exponent");
            while (isDigit(peek())) ++position_;
        }
        double d = 0.0;
        auto r = std::from_chars(input_.data() + start, input_.data() + position_, d);
        if (r.ec != std::errc()) d = std::strtod(input_.c_str() + start, nullptr);
        return Var(d);
    }

    static int hexValue(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    static void flush(std::string& out, long& pending) {
        if (pending >= 0) {
            appendUtf8(out, pending);
            pending = -1;
        }
    }

    // The body of a string literal, after its opening quote.
    std::string string() {
        std::string out;
        long pending = -1;
        for (;;) {
            // Plain bytes in one run.
            size_t run = position_;
            while (run < size_) {
                char c = input_[run];
                if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20) break;
                ++run;
            }
            if (run > position_) {
                flush(out, pending);
                out.append(input_, position_, run - position_);
                position_ = run;
            }
            if (position_ >= size_) {
                softFail("unexpected end of input in string");
                return out;
            }
            char c = input_[position_++];
            if (c == '"') {
                flush(out, pending);
                return out;
            }
            if (c != '\\') {
                softFail("unescaped " + describe(c) + " in string");
                return out;
            }
            if (position_ >= size_) {
                softFail("unexpected end of input in string");
                return out;
            }
            c = input_[position_++];
            if (c == 'u') {
                std::string digits = input_.substr(position_, 4);
                long unit = 0;
                bool good = digits.size() == 4;
                for (char h : digits) {
                    int v = hexValue(h);
                    if (v < 0) good = false;
                    unit = unit * 16 + (v < 0 ? 0 : v);
                }
                if (!good) {
                    softFail("bad \\u escape: " + digits);
                    return out;
                }
                position_ += 4;
                if (pending >= 0xD800 && pending <= 0xDBFF && unit >= 0xDC00 && unit <= 0xDFFF) {
                    appendUtf8(out, (((pending - 0xD800) << 10) | (unit - 0xDC00)) + 0x10000);
                    pending = -1;
                } else {
                    flush(out, pending);
                    pending = unit;
                }
                continue;
            }
            char plain;
            switch (c) {
                case 'b': plain = '\b'; break;
                case 'f': plain = '\f'; break;
                case 'n': plain = '\n'; break;
                case 'r': plain = '\r'; break;
                case 't': plain = '\t'; break;
                case '"':
                case '\\':
                case '/': plain = c; break;
                default:
                    softFail("invalid escape character " + describe(c));
                    return out;
            }
            flush(out, pending);
            out += plain;
        }
    }

    const std::string& input_;
    size_t size_;
    // Pending elements and entries of the lists and dicts being read; each
    // container takes its own from the top when it ends.
    std::vector<Var> elements_;
    std::vector<Entry> entries_;
    size_t position_ = 0;
    std::string error_;
    bool failed_ = false;
    int commentMode_ = 1;
    int maxDepth_ = 200;
};

}  // namespace

Var Json::load(const std::string& text) {
    return JsonParser(text).run();
}

namespace {

// Bytes that the string writer does not copy unchanged.
struct EscapeTable {
    bool special[256] = {};
    constexpr EscapeTable() {
        for (int c = 0; c < 0x20; ++c) special[c] = true;
        special[static_cast<unsigned char>('"')] = true;
        special[static_cast<unsigned char>('\\')] = true;
        special[0xE2] = true;
    }
};

constexpr EscapeTable kEscapes;

// Writes the escape of the special byte s[i]; i moves past what it consumed.
char* writeEscape(char* p, const unsigned char* s, size_t& i, size_t n) {
    static const char hex[] = "0123456789abcdef";
    const unsigned char c = s[i];
    char letter;
    switch (c) {
        case '\\': letter = '\\'; break;
        case '"': letter = '"'; break;
        case '\b': letter = 'b'; break;
        case '\f': letter = 'f'; break;
        case '\n': letter = 'n'; break;
        case '\r': letter = 'r'; break;
        case '\t': letter = 't'; break;
        case 0xE2:
            if (i + 2 < n && s[i + 1] == 0x80 && (s[i + 2] == 0xA8 || s[i + 2] == 0xA9)) {
                std::memcpy(p, s[i + 2] == 0xA8 ? "\\u2028" : "\\u2029", 6);
                i += 2;
                return p + 6;
            }
            *p = static_cast<char>(c);
            return p + 1;
        default: {
            const char esc[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
            std::memcpy(p, esc, 6);
            return p + 6;
        }
    }
    p[0] = '\\';
    p[1] = letter;
    return p + 2;
}

}  // namespace

namespace detail {

char* writeEscaped(char* p, const std::string& text) {
    *p++ = '"';
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = s[i];
        if (kEscapes.special[c]) {
            p = writeEscape(p, s, i, n);
        } else {
            *p++ = static_cast<char>(c);
        }
    }
    *p++ = '"';
    return p;
}

}  // namespace detail

void Json::dumpString(const std::string& text, std::string& out) {
    const size_t start = out.size();
    out.resize(start + detail::escapedSize(text.size()));
    char* end = detail::writeEscaped(&out[start], text);
    out.resize(static_cast<size_t>(end - out.data()));
}

}  // namespace dv
