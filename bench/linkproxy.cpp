// The link emulator of the tests as a program, for bench/run.py: forwards 127.0.0.1:PORT to a
// local server with a customer's delay, bandwidth and drops, prints the port it listens on, and
// on end of standard input prints the bytes it forwarded as one JSON line and exits.
//
//   bench_linkproxy TARGET_PORT [--rtt-ms N] [--mbit N] [--drop-every BYTES]
#include "support/linkemulator.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <iostream>
#include <string>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr,
                     "usage: bench_linkproxy TARGET_PORT [--rtt-ms N] [--mbit N] [--drop-every BYTES]\n");
        return 2;
    }
    LinkEmulator link(static_cast<quint16>(args.at(1).toUInt()));
    for (int i = 2; i + 1 < args.size(); i += 2) {
        const qint64 value = args.at(i + 1).toLongLong();
        if (args.at(i) == QLatin1String("--rtt-ms")) {
            link.setDelayMs(static_cast<int>(value / 2), static_cast<int>(value - value / 2));
        } else if (args.at(i) == QLatin1String("--mbit")) {
            link.setBandwidth(value * 125000, value * 125000);
        } else if (args.at(i) == QLatin1String("--drop-every")) {
            link.setDropAfter(value, true);
        }
    }
    if (!link.startListening()) {
        std::fprintf(stderr, "bench_linkproxy: cannot listen\n");
        return 1;
    }
    std::printf("%u\n", static_cast<unsigned>(link.port()));
    std::fflush(stdout);
    // The caller ends the proxy by closing our standard input; a killed caller ends it the same way.
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    std::printf("{\"down\":%lld,\"up\":%lld,\"connections\":%d,\"drops\":%d}\n",
                static_cast<long long>(link.bytesDown()), static_cast<long long>(link.bytesUp()),
                link.connectionCount(), link.dropCount());
    return 0;
}
