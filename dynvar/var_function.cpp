#include "dv/var.h"

#include <ostream>
#include <sstream>

namespace dv {

namespace {

// The function records inside dispatch on this thread, outermost first.
thread_local std::vector<const VarFunction*> callStack;

struct StackEntry {
    explicit StackEntry(const VarFunction* f) { callStack.push_back(f); }
    ~StackEntry() { callStack.pop_back(); }
    StackEntry(const StackEntry&) = delete;
    StackEntry& operator=(const StackEntry&) = delete;
};

const VarFunction* nextOf(const VarFunction& f) {
    const void* p = f.nextOverload.held().ptr(typeid(VarFunction));
    return static_cast<const VarFunction*>(p);
}

}  // namespace

VarFunction VarFunction::fromCallable(Callable callable, std::vector<Var> signatureClasses) {
    VarFunction f;
    f.callable = std::move(callable);
    f.signatureClasses = std::move(signatureClasses);
    return f;
}

Var VarFunction::dispatch(std::vector<Var> args) const {
    StackEntry entry(this);
    std::vector<VarException> failures;
    for (const VarFunction* current = this; current; current = nextOf(*current)) {
        if (current->checkArgCount && current->signatureClasses.size() != args.size() + 1) continue;
        try {
            return current->callable(args);
        } catch (const VarException& e) {
            failures.push_back(e);
        }
    }
    std::ostringstream text;
    text << *this;
    text << "Failed to call method with input arguments: [";
    for (size_t i = 0; i < args.size(); ++i) {
        if (i) text << ",";
        text << args[i].typeName();
    }
    text << "]\n";
    text << "Overload candidates:\n" << *this << "\n";
    for (const VarException& e : failures) text << e.what() << "\n";
    text << "Stack:\n";
    for (const VarFunction* f : callStack) text << *f;
    throw VarException(Var(text.str()));
}

std::string VarFunction::signature(const VarFunction& f) {
    if (!f.signatureText.empty()) return f.signatureText;
    if (f.signatureClasses.empty()) return std::string();
    std::string text = "(";
    for (size_t i = 1; i < f.signatureClasses.size(); ++i) {
        if (i > 1) text += ",";
        text += f.signatureClasses[i].typedRef<VarClass>().className;
    }
    text += ")->";
    text += f.signatureClasses[0].typedRef<VarClass>().className;
    return text;
}

std::ostream& operator<<(std::ostream& os, const VarFunction& f) {
    if (!f.functionName.empty()) os << f.functionName << "(...)\n";
    for (const VarFunction* o = &f; o; o = nextOf(*o)) {
        os << "    " << f.functionName << VarFunction::signature(*o) << "\n";
    }
    return os;
}

}  // namespace dv
