#include "panel/DockQuotaMessageHandler.h"

#include "platform/URL.h"

void DockQuotaMessageHandler::userContentController(platform::UserContentController&,
                                                    const platform::ScriptMessage& message) {
    if (message.name != "dockQuota") return;
    if (!message.frameInfo.isMainFrame) return;
    // URL parsing lower-cases scheme and host; a URL without either does not parse.
    const auto url = platform::URL::parse(message.frameInfo.request.url);
    if (!url) return;
    if (url->scheme() != "http") return;
    if (url->host() != "127.0.0.1") return;
    if (onMessage) onMessage(message.body);
}
