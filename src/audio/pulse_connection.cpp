#include "pulse_connection.h"

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

namespace {

struct NameList {
    std::vector<std::pair<uint32_t, std::string>> entries;
    bool done = false;
};

template <typename Info>
void collectName(pa_context *, const Info *info, int eol, void *userdata)
{
    auto *list = static_cast<NameList *>(userdata);
    if (eol) {
        list->done = true;
        return;
    }
    list->entries.emplace_back(info->index, info->name);
}

std::vector<std::string> sortedNames(NameList &list)
{
    std::sort(list.entries.begin(), list.entries.end());
    std::vector<std::string> names;
    for (auto &e : list.entries)
        names.push_back(e.second);
    return names;
}

} // namespace

std::vector<std::string> PulseConnection::sinkNames()
{
    NameList list;
    pa_operation *op = pa_context_get_sink_info_list(m_context, collectName<pa_sink_info>, &list);
    if (!op)
        return {};
    runUntil([&list] { return list.done; }, 1000);
    pa_operation_unref(op);
    return sortedNames(list);
}

std::vector<std::string> PulseConnection::sourceNames()
{
    NameList list;
    pa_operation *op = pa_context_get_source_info_list(m_context, collectName<pa_source_info>, &list);
    if (!op)
        return {};
    runUntil([&list] { return list.done; }, 1000);
    pa_operation_unref(op);
    return sortedNames(list);
}

} // namespace bvaudio
