#include <algorithm>
#include <charconv>
#include <cstring>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string_view>

#include "dv/var.h"
#include "printer.h"

namespace dv {

namespace detail {

namespace {
// Written during static initialisation only: each builtin "__str__" and the
// class that cached it.
const VarValue* builtinStr[kBuiltinStrCount] = {};
const VarClass* builtinClass[kBuiltinStrCount] = {};
}  // namespace

void noteBuiltinStr(BuiltinStr kind, const VarClass& c, const Var& function) {
    if (!builtinStr[kind] && c.strFunction.heldPointer() == function.heldPointer()) {
        builtinStr[kind] = function.heldPointer().get();
        builtinClass[kind] = &c;
    }
}

}  // namespace detail

namespace {

using detail::builtinClass;
using detail::builtinStr;

// The class of kind still prints through the builtin "__str__".
inline bool builtin(detail::BuiltinStr kind) {
    return builtinClass[kind] && builtinClass[kind]->strFunction.heldPointer().get() == builtinStr[kind];
}

// Containers being printed on this thread: a container met again inside
// itself is written as "[...]" or "{...}" (its mutex is already held).
thread_local std::vector<const VarValue*> printing;

struct PrintScope {
    explicit PrintScope(const VarValue* c) { printing.push_back(c); }
    ~PrintScope() { printing.pop_back(); }
    PrintScope(const PrintScope&) = delete;
    PrintScope& operator=(const PrintScope&) = delete;
};

bool inProgress(const VarValue* c) {
    for (const VarValue* p : printing) {
        if (p == c) return true;
    }
    return false;
}

// The text of a value through its class: "__str__", else name and address.
std::string classText(const Var& v) {
    VarClass* c = v.classPtr();
    if (c && c->strFunction.isFunction()) {
        Var text = c->strFunction(v);
        return text.typedRef<std::string>();
    }
    std::ostringstream os;
    os << "<" << (c ? c->className : v.typeName()) << " at " << static_cast<const void*>(&v.held()) << ">";
    return os.str();
}

// A string written from its start through a raw pointer: room is made
// before each write; the string's size beyond what was written is room.
class TextBuffer {
public:
    explicit TextBuffer(std::string& out) : out_(out) {}
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;

    // A pointer with room for n bytes; give back the end with commit.
    char* room(size_t n) {
        if (out_.size() - used_ < n) out_.resize(std::max(2 * out_.size(), used_ + n + 4096));
        return &out_[used_];
    }
    void commit(const char* end) { used_ = static_cast<size_t>(end - out_.data()); }

    void put(char c) {
        *room(1) = c;
        ++used_;
    }
    void put(const char* text, size_t n) {
        std::memcpy(room(n), text, n);
        used_ += n;
    }
    // A literal, copied with a fixed size.
    template <size_t N>
    void put(const char (&text)[N]) {
        std::memcpy(room(N), text, N);
        used_ += N - 1;
    }

    const char* data() const { return out_.data(); }
    size_t size() const { return used_; }

private:
    std::string& out_;
    size_t used_ = 0;
};

// Writes values into one string; a line break inside a value at nesting
// level L is followed by 2 * L blanks, which gives the layout of nested
// lists and dicts without re-splitting their texts.
class Printer {
    static constexpr size_t kPrefetch = 16;

public:
    explicit Printer(TextBuffer& out) : out_(out) {}

    void value(const Var& v, size_t level, bool lastInDict = false) {
        // The builtin kinds, recognised by their holder's exact type, are
        // written directly; their text is what their "__str__" returns.
        const VarValue& held = v.held();
        const std::type_info& type = typeid(held);
        if (&type == &typeid(VarValue_<double>) && builtin(detail::kDoubleStr)) {
            char* p = out_.room(detail::kDoubleTextSize);
            out_.commit(detail::writeDouble(p, static_cast<const VarValue_<double>&>(held).value));
            return;
        }
        if (&type == &typeid(VarValue_<int>) && builtin(detail::kIntStr)) {
            char* p = out_.room(16);
            out_.commit(std::to_chars(p, p + 16, static_cast<const VarValue_<int>&>(held).value).ptr);
            return;
        }
        if (&type == &typeid(VarValue_<std::string>) && builtin(detail::kStringStr)) {
            string(static_cast<const VarValue_<std::string>&>(held).value);
            return;
        }
        if (&type == &typeid(VarObject) && builtin(detail::kObjectStr)) {
            const auto& dictValue = static_cast<const VarObject&>(held);
            if (dictValue.objectClass.heldPointer() == Var::undefined().heldPointer()) {
                dict(dictValue, level);
                return;
            }
        }
        if (&type == &typeid(VarArray) && builtin(detail::kArrayStr)) {
            list(static_cast<const VarArray&>(held), level);
            return;
        }
        if (&type == &typeid(VarValue_<bool>) && builtin(detail::kBoolStr)) {
            if (static_cast<const VarValue_<bool>&>(held).value) {
                out_.put("true");
            } else {
                out_.put("false");
            }
            return;
        }
        if (&type == &typeid(VarValue) && builtin(detail::kVoidStr)) {
            out_.put("undefined");
            return;
        }
        if (&type == &typeid(VarValue_<std::nullptr_t>) && builtin(detail::kNullStr)) {
            out_.put("null");
            return;
        }
        std::string text = classText(v);
        // The dict layout drops the empty line after a final line break.
        if (lastInDict && !text.empty() && text.back() == '\n') text.pop_back();
        indented(text, level);
    }

    void list(const VarArray& a, size_t level) {
        if (inProgress(&a)) {
            out_.put("[...]");
            return;
        }
        PrintScope scope(&a);
        std::lock_guard<std::mutex> lock(a.mutex);
        const std::vector<Var>& elements = a.elements();
        if (elements.empty()) {
            out_.put("[]");
            return;
        }
        // The held values are scattered on the heap: fetch them ahead.
        for (size_t i = 0; i < elements.size() && i < kPrefetch; ++i) {
            __builtin_prefetch(elements[i].heldPointer().get());
        }
        out_.put('[');
        for (size_t i = 0; i < elements.size(); ++i) {
            if (i + kPrefetch < elements.size()) __builtin_prefetch(elements[i + kPrefetch].heldPointer().get());
            newline(level + 1, i ? 1 : 0);
            value(elements[i], level + 1);
        }
        newline(level, 0);
        out_.put(']');
    }

    void dict(const VarObject& d, size_t level) {
        if (inProgress(&d)) {
            out_.put("{...}");
            return;
        }
        PrintScope scope(&d);
        std::lock_guard<std::mutex> lock(d.mutex);
        const VarObject::Entries& entries = d.entries();
        if (entries.empty()) {
            out_.put("{}");
            return;
        }
        const bool plainKeys = builtin(detail::kStringStr);
        out_.put('{');
        auto ahead = entries.begin();
        for (size_t i = 0; ahead != entries.end() && i < kPrefetch; ++ahead, ++i) {
            __builtin_prefetch(ahead->second.heldPointer().get());
        }
        size_t remaining = entries.size();
        for (const auto& entry : entries) {
            if (ahead != entries.end()) {
                __builtin_prefetch(ahead->second.heldPointer().get());
                ++ahead;
            }
            newline(level + 1, remaining != entries.size() ? 1 : 0);
            --remaining;
            if (plainKeys) {
                string(entry.first);
            } else {
                indented(classText(Var(entry.first)), level + 1);
            }
            out_.put(" : ");
            value(entry.second, level + 1, remaining == 0);
        }
        newline(level, 0);
        out_.put('}');
    }

private:
    void string(const std::string& text) {
        char* p = out_.room(detail::escapedSize(text.size()));
        out_.commit(detail::writeEscaped(p, text));
    }

    // An optional comma, a line break and the blanks of level, the blanks
    // copied in blocks of fixed size.
    void newline(size_t level, size_t comma) {
        static const char blankBlock[] = "                ";
        constexpr size_t kBlock = sizeof blankBlock - 1;
        const size_t blanks = 2 * level;
        char* p = out_.room(comma + 1 + blanks + kBlock);
        *p = ',';
        p += comma;
        *p++ = '\n';
        for (size_t i = 0; i < blanks; i += kBlock) std::memcpy(p + i, blankBlock, kBlock);
        out_.commit(p + blanks);
    }

    void indented(const std::string& text, size_t level) {
        size_t start = 0;
        for (;;) {
            size_t nl = text.find('\n', start);
            if (nl == std::string::npos) {
                out_.put(text.data() + start, text.size() - start);
                return;
            }
            out_.put(text.data() + start, nl - start);
            newline(level, 0);
            start = nl + 1;
        }
    }

    TextBuffer& out_;
};

// The buffer of the outermost print on this thread, kept between prints up
// to a limit: a large text then neither grows its buffer step by step nor
// touches fresh pages each time.
struct KeptBuffer {
    static constexpr size_t kLimit = 8u << 20;
    std::string text;
    bool inUse = false;
};

thread_local KeptBuffer keptBuffer;

// Runs print(Printer&) into the kept buffer (a fresh one when a print on this
// thread is already using it) and hands the text to done(data, size).
template <typename Print, typename Done>
void printText(Print print, Done done) {
    if (keptBuffer.inUse) {
        std::string text;
        TextBuffer buffer(text);
        Printer printer(buffer);
        print(printer);
        done(buffer.data(), buffer.size());
        return;
    }
    struct Use {
        Use() { keptBuffer.inUse = true; }
        ~Use() {
            keptBuffer.inUse = false;
            if (keptBuffer.text.size() > KeptBuffer::kLimit) std::string().swap(keptBuffer.text);
        }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
    } use;
    TextBuffer buffer(keptBuffer.text);
    Printer printer(buffer);
    print(printer);
    done(buffer.data(), buffer.size());
}

template <typename Print>
std::string printedString(Print print) {
    std::string out;
    printText(print, [&out](const char* data, size_t size) { out.assign(data, size); });
    return out;
}

template <typename Print>
std::ostream& printToStream(std::ostream& os, Print print) {
    printText(print, [&os](const char* data, size_t size) { os << std::string_view(data, size); });
    return os;
}

// Writes text split at line breaks, each line prefixed.
void writeLines(std::ostream& os, const std::string& text, const char* prefix) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) os << prefix << line << "\n";
}

}  // namespace

namespace detail {

std::string listText(const VarArray& list) {
    return printedString([&list](Printer& printer) { printer.list(list, 0); });
}

std::string dictText(const VarObject& dict) {
    return printedString([&dict](Printer& printer) { printer.dict(dict, 0); });
}

}  // namespace detail

std::string Json::dump(const Var& value) {
    return printedString([&value](Printer& printer) { printer.value(value, 0); });
}

std::ostream& operator<<(std::ostream& os, const Var& v) {
    return printToStream(os, [&v](Printer& printer) { printer.value(v, 0); });
}

std::ostream& operator<<(std::ostream& os, const VarArray& list) {
    return printToStream(os, [&list](Printer& printer) { printer.list(list, 0); });
}

std::ostream& operator<<(std::ostream& os, const VarObject& dict) {
    return printToStream(os, [&dict](Printer& printer) { printer.dict(dict, 0); });
}

std::ostream& operator<<(std::ostream& os, const VarClass& c) {
    os << "class " << c.className << "():\n";
    std::ostringstream body;
    if (!c.docText.empty()) body << c.docText << "\n";
    const VarObject* attributes = dynamic_cast<const VarObject*>(&c.attributes.held());
    if (attributes && attributes->length() > 0) {
        std::vector<std::pair<std::string, Var>> entries = attributes->snapshot();
        body << "Methods defined here:\n";
        for (const auto& entry : entries) {
            if (entry.second.isFunction()) body << entry.second.typedRef<VarFunction>() << "\n";
        }
        body << "Property defined here:\n\n";
        for (const auto& entry : entries) {
            if (const void* p = entry.second.held().ptr(typeid(VarClass::VarProperty))) {
                const VarClass::VarProperty& property = *static_cast<const VarClass::VarProperty*>(p);
                body << entry.first << "\n  ";
                if (property.getter.isFunction()) body << property.getter.typedRef<VarFunction>();
                body << "\n\n";
            }
        }
    }
    writeLines(os, body.str(), "|  ");
    return os;
}

std::string VarClass::helpText() const {
    std::ostringstream os;
    os << *this;
    return os.str();
}

}  // namespace dv
