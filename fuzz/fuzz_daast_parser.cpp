// The ad document parser on arbitrary bytes: no crash, and a failed parse leaves no record.
#include "bvdaastparser.h"

#include <QLoggingCategory>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = (QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false")), true);
    (void)quiet;
    BVDaastParser parser;
    const bool parsed = parser.parse(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (!parsed && (parser.noBanner || !parser.adTitle.isEmpty() || !parser.linearMediaUrl.isEmpty()
                    || !parser.linearTrackingUrls.isEmpty() || !parser.companionTrackingUrls.isEmpty()))
        std::abort();
    if (parsed && parser.noBanner && !parser.impressionUrl.isEmpty())
        std::abort();
    return 0;
}
