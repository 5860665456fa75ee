// The ad document readers on arbitrary bytes: no crash; a failed strict parse leaves no record;
// the lenient reader keeps no ad of an invalid document and no media or banner that is not http(s).
#include "bvdaastparser.h"
#include "bvvastreader.h"
#include "bvweburl.h"

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

    const BVVastDocument document = BVVastReader::read(QByteArray::fromRawData(reinterpret_cast<const char *>(data),
                                                                               qsizetype(size)), 128);
    if (!document.valid && !document.ads.isEmpty())
        std::abort();
    for (const BVVastAd &ad : document.ads) {
        const BVAdSpot &spot = ad.spot;
        if ((!spot.mediaUrl.isEmpty() && !bvIsWebUrl(QUrl(spot.mediaUrl)))
            || (!spot.bannerUrl.isEmpty() && !bvIsWebUrl(QUrl(spot.bannerUrl))))
            std::abort();
    }
    return 0;
}
