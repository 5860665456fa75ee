#include "device/pulse_connection.h"

#include <algorithm>
#include <chrono>

namespace bvaudio {

std::unique_ptr<PulseConnection> PulseConnection::connect(const char *clientName, int timeoutMs)
{
    std::unique_ptr<PulseConnection> c(new PulseConnection);
    c->m_loop = pa_mainloop_new();
    if (!c->m_loop)
        return nullptr;
    c->m_context = pa_context_new(pa_mainloop_get_api(c->m_loop), clientName);
    if (!c->m_context || pa_context_connect(c->m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return nullptr;
    pa_context *context = c->m_context;
    const bool ready = c->runUntil([context] {
        pa_context_state_t s = pa_context_get_state(context);
        return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
    }, timeoutMs);
    if (!ready || !c->isReady())
        return nullptr;
    return c;
}

PulseConnection::~PulseConnection()
{
    if (m_context) {
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
    }
    if (m_loop)
        pa_mainloop_free(m_loop);
}

bool PulseConnection::runUntil(const std::function<bool()> &done, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        if (pa_mainloop_prepare(m_loop, static_cast<int>(left.count())) < 0 || pa_mainloop_poll(m_loop) < 0
            || pa_mainloop_dispatch(m_loop) < 0)
            return false;
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(m_context)))
            return done();
    }
    return true;
}

struct PulseConnection::NameList {
    std::vector<std::pair<uint32_t, std::string>> entries;
    bool done = false;
};

namespace {

template <typename Info>
void collectName(pa_context *, const Info *info, int eol, void *userdata)
{
    auto *list = static_cast<PulseConnection::NameList *>(userdata);
    if (eol) {
        list->done = true;
        return;
    }
    list->entries.emplace_back(info->index, info->name);
}

std::vector<std::string> sortedNames(PulseConnection::NameList &list)
{
    std::sort(list.entries.begin(), list.entries.end());
    std::vector<std::string> names;
    for (auto &e : list.entries)
        names.push_back(e.second);
    return names;
}

} // namespace

template <typename List>
std::vector<std::string> PulseConnection::names(List list)
{
    NameList names;
    pa_operation *op = list(m_context, &names);
    if (!op)
        return {};
    runUntil([&names] { return names.done; }, 1000);
    pa_operation_unref(op);
    return sortedNames(names);
}

std::vector<std::string> PulseConnection::sinkNames()
{
    return names([](pa_context *c, NameList *n) { return pa_context_get_sink_info_list(c, collectName<pa_sink_info>, n); });
}

std::vector<std::string> PulseConnection::sourceNames()
{
    return names(
        [](pa_context *c, NameList *n) { return pa_context_get_source_info_list(c, collectName<pa_source_info>, n); });
}

} // namespace bvaudio
