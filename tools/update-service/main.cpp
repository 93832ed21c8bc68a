// Reference TCP update service: serves one release folder to the updater's TCP channel.
//
//   update-service --root DIR --version TEXT --port N [--host ADDR] [--chunk-size BYTES]
//
// With --port 0 a free port is chosen. The port listened on is always the first line of standard
// output; everything else (what is served) is logged to standard error. See --help for the
// switches that make the service misbehave on purpose, for testing clients.
#include "releasecatalog.h"
#include "serviceoptions.h"
#include "updateservice.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    ServiceOptions options;
    QString error;
    if (!options.parse(QCoreApplication::arguments(), error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 2;
    }
    ReleaseCatalog catalog;
    if (!catalog.load(options.root, error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 2;
    }
    for (const QString& record : qAsConst(options.extraRecords)) {
        catalog.addForgedRecord(record);
    }
    UpdateService service(options, catalog);
    if (!service.listen(error)) {
        std::fprintf(stderr, "cannot listen: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("%u\n", static_cast<unsigned>(service.port()));
    std::fflush(stdout);
    return app.exec();
}
