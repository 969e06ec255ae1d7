#include <charconv>
#include <mutex>
#include <ostream>
#include <sstream>

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

void appendDouble(std::string& out, double d) {
    // The same text as a stream with precision 12 (printf's "%.12g").
    char buf[40];
    auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, 12);
    out.append(buf, r.ptr);
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

// Writes values into one string; a line break inside a value at nesting
// level L is followed by 2 * L blanks, which gives the layout of nested
// lists and dicts without re-splitting their texts.
class Printer {
    static constexpr size_t kPrefetch = 16;

public:
    explicit Printer(std::string& out) : out_(out) {}

    void value(const Var& v, size_t level, bool lastInDict = false) {
        // The builtin kinds, recognised by their holder's exact type, are
        // written directly; their text is what their "__str__" returns.
        const VarValue& held = v.held();
        const std::type_info& type = typeid(held);
        if (&type == &typeid(VarValue_<double>) && builtin(detail::kDoubleStr)) {
            detail::appendDouble(out_, static_cast<const VarValue_<double>&>(held).value);
            return;
        }
        if (&type == &typeid(VarValue_<int>) && builtin(detail::kIntStr)) {
            char buf[16];
            auto r = std::to_chars(buf, buf + sizeof buf, static_cast<const VarValue_<int>&>(held).value);
            out_.append(buf, r.ptr);
            return;
        }
        if (&type == &typeid(VarValue_<std::string>) && builtin(detail::kStringStr)) {
            Json::dumpString(static_cast<const VarValue_<std::string>&>(held).value, out_);
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
            out_ += static_cast<const VarValue_<bool>&>(held).value ? "true" : "false";
            return;
        }
        if (&type == &typeid(VarValue) && builtin(detail::kVoidStr)) {
            out_ += "undefined";
            return;
        }
        if (&type == &typeid(VarValue_<std::nullptr_t>) && builtin(detail::kNullStr)) {
            out_ += "null";
            return;
        }
        std::string text = classText(v);
        // The dict layout drops the empty line after a final line break.
        if (lastInDict && !text.empty() && text.back() == '\n') text.pop_back();
        indented(text, level);
    }

    void list(const VarArray& a, size_t level) {
        if (inProgress(&a)) {
            out_ += "[...]";
            return;
        }
        PrintScope scope(&a);
        std::lock_guard<std::mutex> lock(a.mutex);
        const std::vector<Var>& elements = a.elements();
        if (elements.empty()) {
            out_ += "[]";
            return;
        }
        // The held values are scattered on the heap: fetch them ahead.
        for (size_t i = 0; i < elements.size() && i < kPrefetch; ++i) {
            __builtin_prefetch(elements[i].heldPointer().get());
        }
        out_ += '[';
        for (size_t i = 0; i < elements.size(); ++i) {
            if (i + kPrefetch < elements.size()) __builtin_prefetch(elements[i + kPrefetch].heldPointer().get());
            if (i) out_ += ',';
            newline(level + 1);
            value(elements[i], level + 1);
        }
        newline(level);
        out_ += ']';
    }

    void dict(const VarObject& d, size_t level) {
        if (inProgress(&d)) {
            out_ += "{...}";
            return;
        }
        PrintScope scope(&d);
        std::lock_guard<std::mutex> lock(d.mutex);
        const VarObject::Entries& entries = d.entries();
        if (entries.empty()) {
            out_ += "{}";
            return;
        }
        const bool plainKeys = builtin(detail::kStringStr);
        out_ += '{';
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
            if (remaining != entries.size()) out_ += ',';
            --remaining;
            newline(level + 1);
            if (plainKeys) {
                Json::dumpString(entry.first, out_);
            } else {
                indented(classText(Var(entry.first)), level + 1);
            }
            out_ += " : ";
            value(entry.second, level + 1, remaining == 0);
        }
        newline(level);
        out_ += '}';
    }

private:
    void newline(size_t level) {
        out_ += '\n';
        out_.append(2 * level, ' ');
    }

    void indented(const std::string& text, size_t level) {
        size_t start = 0;
        for (;;) {
            size_t nl = text.find('\n', start);
            if (nl == std::string::npos) {
                out_.append(text, start, std::string::npos);
                return;
            }
            out_.append(text, start, nl - start);
            newline(level);
            start = nl + 1;
        }
    }

    std::string& out_;
};

// Writes text split at line breaks, each line prefixed.
void writeLines(std::ostream& os, const std::string& text, const char* prefix) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) os << prefix << line << "\n";
}

}  // namespace

namespace detail {

std::string listText(const VarArray& list) {
    std::string out;
    Printer(out).list(list, 0);
    return out;
}

std::string dictText(const VarObject& dict) {
    std::string out;
    Printer(out).dict(dict, 0);
    return out;
}

}  // namespace detail

std::string Json::dump(const Var& value) {
    std::string out;
    Printer(out).value(value, 0);
    return out;
}

std::ostream& operator<<(std::ostream& os, const Var& v) {
    return os << Json::dump(v);
}

std::ostream& operator<<(std::ostream& os, const VarArray& list) {
    return os << detail::listText(list);
}

std::ostream& operator<<(std::ostream& os, const VarObject& dict) {
    return os << detail::dictText(dict);
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
