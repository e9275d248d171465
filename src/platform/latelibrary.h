#pragma once
// A system library loaded when first needed rather than at start, its functions looked up
// by name into a table of the caller's.
#include <QLibrary>
#include <QString>

namespace platform {

class TLateLibrary
{
public:
    TLateLibrary(const QString& name, int version) : library_(name, version) {}

    // Looks one function up; the library loads with the first.
    template <class Fn> void Get(Fn& fn, const char* symbol)
    {
        fn = reinterpret_cast<Fn>(library_.resolve(symbol));
        all_ = all_ && fn;
    }
    // Whether every function looked up was found.
    bool AllFound() const { return all_; }
    QString ErrorString() const { return library_.errorString(); }

private:
    QLibrary library_;
    bool all_ = true;
};

} // namespace platform
