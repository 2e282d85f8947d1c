// TLS for the clients of a guarded server, through OpenSSL: TLS 1.2 or newer, non-blocking,
// inside the one loop.
#pragma once
#include <memory>
#include <string>

#include "net/transport.h"

namespace tessel {

struct TlsContext;

// Loads the PEM certificate (chain) and its private key. Nothing, with `error` saying which file
// and why, when either cannot be loaded or they do not belong together.
std::shared_ptr<TlsContext> loadTlsContext(const std::string& certificateFile,
                                           const std::string& keyFile, std::string& error);

// Makes the server side of a TLS connection over each accepted socket.
TransportFactory tlsTransports(std::shared_ptr<TlsContext> context);

}  // namespace tessel
