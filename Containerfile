# The service in a container: built on Debian 13, run on Debian 13's slim image with the
# service's own Debian package installed by apt, so the image holds what a Debian 13 machine
# would. `docker build .` or `podman build .` from the checkout; README's "In a container" says
# how to run it. scripts/image may hand the build a package made already (PACKAGE, a path in
# the checkout) instead of compiling a second time.
FROM debian:trixie AS build
ARG PACKAGE=
COPY . /src
WORKDIR /src
RUN set -eu; mkdir /out; \
    if [ -n "$PACKAGE" ]; then cp "$PACKAGE" /out/; exit 0; fi; \
    apt-get update -q; \
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends cmake g++ make pkg-config \
        libpng-dev zlib1g-dev libssl-dev libmicrohttpd-dev libsystemd-dev dpkg-dev file; \
    cmake -S . -B /build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DTESSEL_WINDOW=OFF \
        -DCMAKE_INSTALL_PREFIX=/usr "-DCMAKE_CXX_FLAGS=-D_FORTIFY_SOURCE=2 -fstack-protector-strong" \
        "-DCMAKE_EXE_LINKER_FLAGS=-Wl,-z,relro,-z,now" >/dev/null; \
    cmake --build /build -j"$(nproc)" >/dev/null; \
    cd /build && cpack -G DEB >/dev/null && cp tessel-serverd_*.deb /out/

FROM debian:trixie-slim
COPY --from=build /out/ /tmp/package/
# The service's user is in dialout, the group the interface's device belongs to; the state
# directory is its own, and a volume, so the module table outlives the container.
RUN set -eu; apt-get update -q; \
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends /tmp/package/tessel-serverd_*.deb; \
    rm -rf /var/lib/apt/lists/* /var/cache/apt/* /tmp/package; \
    useradd --system --gid dialout --home-dir /var/lib/tessel-serverd --no-create-home \
        --shell /usr/sbin/nologin tessel-serverd; \
    install -d -o tessel-serverd -g dialout -m 0750 /var/lib/tessel-serverd
USER tessel-serverd
VOLUME /var/lib/tessel-serverd
EXPOSE 8080 8081
# Liveness: the loop answers /livez, device or not; a lost interface is found again by the
# service itself, where a restart would not help. Bash's own TCP, since the slim image has no
# HTTP client. TESSEL_WEB_PORT follows a web monitor moved off 8081.
ENV TESSEL_WEB_PORT=8081
HEALTHCHECK --interval=30s --timeout=5s --start-period=10s --retries=3 \
    CMD ["/bin/bash", "-c", "exec 3<>/dev/tcp/127.0.0.1/$TESSEL_WEB_PORT && printf 'GET /livez HTTP/1.0\\r\\n\\r\\n' >&3 && timeout 4 head -c 12 <&3 | grep -q ' 200'"]
STOPSIGNAL SIGTERM
ENTRYPOINT ["/usr/bin/tessel-serverd"]
CMD ["--device", "auto", "--listen", "0.0.0.0:8080", "--web", "0.0.0.0:8081", "--state-dir", "/var/lib/tessel-serverd"]
