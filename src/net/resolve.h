#pragma once
// Turning a host text into an IPv4 address without holding the event loop.
#include <QString>
#include <functional>

class QObject;

// A dotted address is handed to `done` at once; a name is looked up and `done` gets its
// first IPv4 address, or an empty text when there is none. Nothing is called once
// `context` is gone.
void ResolveIPv4(const QString& host, QObject* context, std::function<void(const QString&)> done);
