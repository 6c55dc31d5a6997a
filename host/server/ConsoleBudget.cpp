#include "host/server/ConsoleBudget.h"

#include <string>

std::size_t HeldByAll(const TClients& clients)
{
    std::size_t total = 0;
    for (const auto& pClient : clients)
        total += pClient->Held();
    return total;
}

void KeepWithinBudget(const TClients& clients, const TClientLimits& limits, long long nowMs)
{
    std::size_t total = HeldByAll(clients);
    while (total > limits.totalUnsent) {
        BControlClient* pBehind = nullptr;
        for (const auto& pClient : clients)
            if (pClient->State() == BControlClient::TState::kOpen &&
                (pBehind == nullptr || pClient->Unsent() > pBehind->Unsent()))
                pBehind = pClient.get();
        if (pBehind == nullptr || pBehind->Unsent() == 0)
            return; // what is left is on its way out
        const std::size_t unsent = pBehind->Unsent();
        const std::size_t held = pBehind->Held();
        const std::string budget = std::to_string(limits.totalUnsent);
        pBehind->Dismiss(
            BControlClient::TReason::kStoppedReading,
            "it fell furthest behind, " + std::to_string(unsent) +
                " bytes unread, when the consoles together held more than " + budget + " bytes",
            "murox: dropped: this console fell furthest behind (" + std::to_string(unsent) +
                " bytes unread) when the consoles together held more than " + budget + " bytes\n",
            limits, nowMs);
        total = total - held + pBehind->Held();
    }
}
