// TLS for the clients of a guarded server, through OpenSSL: TLS 1.3, or TLS 1.2 with a modern
// set of suites (the same as the web port's), non-blocking,
// inside the one loop.
#pragma once
#include <memory>
#include <string>

#include "net/transport.h"

namespace tessel {

struct TlsContext;

// The TLS 1.2 suites offered: ECDHE with AES-GCM or ChaCha20-Poly1305 only. TLS 1.3's own
// suites are all of that kind.
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// Loads the PEM certificate (chain) and its private key. Nothing, with `error` saying which file
// and why, when either cannot be loaded or they do not belong together.
std::shared_ptr<TlsContext> loadTlsContext(const std::string& certificateFile,
                                           const std::string& keyFile, std::string& error);

// Makes the server side of a TLS connection over each accepted socket.
TransportFactory tlsTransports(std::shared_ptr<TlsContext> context);

}  // namespace tessel
