#include <charconv>
#include <cstdio>
#include <ostream>
#include <sstream>

#include "dv/var.h"
#include "printer.h"

namespace dv {

namespace detail {

namespace {
// Written during static initialisation only.
const VarValue* builtinStr[kBuiltinStrCount] = {};
}  // namespace

void noteBuiltinStr(BuiltinStr kind, const VarClass& c, const Var& function) {
    if (!builtinStr[kind] && c.strFunction.heldPointer() == function.heldPointer()) {
        builtinStr[kind] = function.heldPointer().get();
    }
}

void appendDouble(std::string& out, double d) {
    char buf[32];
    int n = std::snprintf(buf, sizeof buf, "%.12g", d);
    out.append(buf, static_cast<size_t>(n));
}

}  // namespace detail

namespace {

using detail::builtinStr;

// Containers being printed on this thread: a container met again inside
// itself is written as "[...]" or "{...}".
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
public:
    explicit Printer(std::string& out) : out_(out) {}

    void value(const Var& v, size_t level, bool lastInDict = false) {
        VarClass* c = v.classPtr();
        const VarValue* str = c ? c->strFunction.heldPointer().get() : nullptr;
        if (str) {
            const VarValue& held = v.held();
            if (str == builtinStr[detail::kVoidStr]) {
                out_ += "undefined";
                return;
            }
            if (str == builtinStr[detail::kNullStr]) {
                out_ += "null";
                return;
            }
            if (str == builtinStr[detail::kIntStr] && held.ptr(typeid(int))) {
                char buf[16];
                auto r = std::to_chars(buf, buf + sizeof buf, *static_cast<const int*>(held.ptr(typeid(int))));
                out_.append(buf, r.ptr);
                return;
            }
            if (str == builtinStr[detail::kDoubleStr] && held.ptr(typeid(double))) {
                detail::appendDouble(out_, *static_cast<const double*>(held.ptr(typeid(double))));
                return;
            }
            if (str == builtinStr[detail::kStringStr] && held.ptr(typeid(std::string))) {
                Json::dumpString(*static_cast<const std::string*>(held.ptr(typeid(std::string))), out_);
                return;
            }
            if (str == builtinStr[detail::kBoolStr] && held.ptr(typeid(bool))) {
                out_ += *static_cast<const bool*>(held.ptr(typeid(bool))) ? "true" : "false";
                return;
            }
            if (str == builtinStr[detail::kArrayStr] && held.ptr(typeid(VarArray))) {
                list(*static_cast<const VarArray*>(held.ptr(typeid(VarArray))), level);
                return;
            }
            if (str == builtinStr[detail::kObjectStr] && held.ptr(typeid(VarObject))) {
                dict(*static_cast<const VarObject*>(held.ptr(typeid(VarObject))), level);
                return;
            }
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
        std::vector<Var> elements = a.snapshot();
        if (elements.empty()) {
            out_ += "[]";
            return;
        }
        out_ += '[';
        for (size_t i = 0; i < elements.size(); ++i) {
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
        std::vector<std::pair<std::string, Var>> entries = d.snapshot();
        if (entries.empty()) {
            out_ += "{}";
            return;
        }
        VarClass& strClass = VarClass::classOf<std::string>();
        bool plainKeys = builtinStr[detail::kStringStr] &&
                         strClass.strFunction.heldPointer().get() == builtinStr[detail::kStringStr];
        out_ += '{';
        for (size_t i = 0; i < entries.size(); ++i) {
            if (i) out_ += ',';
            newline(level + 1);
            if (plainKeys) {
                Json::dumpString(entries[i].first, out_);
            } else {
                indented(classText(Var(entries[i].first)), level + 1);
            }
            out_ += " : ";
            value(entries[i].second, level + 1, i + 1 == entries.size());
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
