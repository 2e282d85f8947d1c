#include "net/tls_transport.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>

namespace tessel {

struct TlsContext {
    SSL_CTX* ctx = nullptr;
    ~TlsContext() { SSL_CTX_free(ctx); }
};

namespace {

std::string lastError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "not a usable PEM file";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

class TlsTransport final : public Transport {
public:
    TlsTransport(std::shared_ptr<TlsContext> context, int fd)
        : context_(std::move(context)), ssl_(SSL_new(context_->ctx)) {
        if (ssl_ == nullptr) return;
        SSL_set_fd(ssl_, fd);
        SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        SSL_set_accept_state(ssl_);
    }
    ~TlsTransport() override {
        if (ssl_ == nullptr) return;
        // A close_notify if the socket takes it at once; the socket is closed after this anyway.
        if (SSL_is_init_finished(ssl_)) SSL_shutdown(ssl_);
        SSL_free(ssl_);
        ERR_clear_error();
    }

    Progress handshake() override {
        if (ssl_ == nullptr) return Progress::Failed;
        const int r = SSL_do_handshake(ssl_);
        if (r == 1) return Progress::Done;
        switch (SSL_get_error(ssl_, r)) {
            case SSL_ERROR_WANT_READ: return Progress::WantRead;
            case SSL_ERROR_WANT_WRITE: return Progress::WantWrite;
            default:
                ERR_clear_error();
                return Progress::Failed;
        }
    }

    ssize_t receive(std::uint8_t* buffer, std::size_t size) override {
        const int r = SSL_read(ssl_, buffer, static_cast<int>(std::min<std::size_t>(size, 1 << 20)));
        return result(r);
    }

    ssize_t send(const std::uint8_t* data, std::size_t size) override {
        const int r = SSL_write(ssl_, data, static_cast<int>(std::min<std::size_t>(size, 1 << 20)));
        return result(r);
    }

    bool hasBuffered() const override { return ssl_ != nullptr && SSL_pending(ssl_) > 0; }

private:
    // SSL_read and SSL_write results in the terms of recv() and send().
    ssize_t result(int r) {
        if (r > 0) return r;
        const int error = SSL_get_error(ssl_, r);
        ERR_clear_error();
        switch (error) {
            case SSL_ERROR_WANT_READ:
            case SSL_ERROR_WANT_WRITE:
                errno = EAGAIN;
                return -1;
            case SSL_ERROR_ZERO_RETURN:
                return 0;
            case SSL_ERROR_SYSCALL:
                if (errno == 0) return 0;  // the peer closed without a close_notify
                if (errno == EAGAIN || errno == EINTR) errno = ECONNRESET;
                return -1;
            default:
                errno = ECONNRESET;
                return -1;
        }
    }

    std::shared_ptr<TlsContext> context_;
    SSL* ssl_;
};

}  // namespace

std::shared_ptr<TlsContext> loadTlsContext(const std::string& certificateFile,
                                           const std::string& keyFile, std::string& error) {
    auto context = std::make_shared<TlsContext>();
    context->ctx = SSL_CTX_new(TLS_server_method());
    if (context->ctx == nullptr) {
        error = "cannot set up TLS: " + lastError();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context->ctx, TLS1_2_VERSION);
    // TLS 1.3, and TLS 1.2 with forward secrecy and authenticated encryption only (the
    // well-known intermediate server profile), in the server's order, no renegotiation: the
    // same set the web port offers.
    SSL_CTX_set_cipher_list(context->ctx, kTls12Ciphers);
    SSL_CTX_set_options(context->ctx, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_RENEGOTIATION |
                                          SSL_OP_NO_COMPRESSION);
    if (SSL_CTX_use_certificate_chain_file(context->ctx, certificateFile.c_str()) != 1) {
        error = "cannot load the TLS certificate " + certificateFile + ": " + lastError() +
                "; is it PEM? `openssl x509 -in " + certificateFile + " -noout -text` shows what it holds";
        return nullptr;
    }
    const bool keyLoaded = SSL_CTX_use_PrivateKey_file(context->ctx, keyFile.c_str(), SSL_FILETYPE_PEM) == 1;
    // A sound key of another certificate is refused while loading, with this reason.
    const bool mismatch = keyLoaded ? SSL_CTX_check_private_key(context->ctx) != 1
                                    : ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH;
    if (mismatch) {
        ERR_clear_error();
        error = "the TLS key " + keyFile + " does not belong to the certificate " + certificateFile +
                "; `openssl x509 -in " + certificateFile + " -noout -pubkey` and `openssl pkey -in " +
                keyFile + " -pubout` print the same key when they do";
        return nullptr;
    }
    if (!keyLoaded) {
        error = "cannot load the TLS key " + keyFile + ": " + lastError() +
                "; is it a PEM private key without a passphrase? `openssl pkey -in " + keyFile +
                " -noout -text` shows what it holds";
        return nullptr;
    }
    return context;
}

TransportFactory tlsTransports(std::shared_ptr<TlsContext> context) {
    return [context](int fd) -> std::unique_ptr<Transport> {
        return std::make_unique<TlsTransport>(context, fd);
    };
}

}  // namespace tessel
