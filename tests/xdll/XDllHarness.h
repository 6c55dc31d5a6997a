// Runs "xdll" lines against the fake registry and a recording stream.
#ifndef TESTS_XDLL_XDLLHARNESS_H
#define TESTS_XDLL_XDLLHARNESS_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hostapi/BFileNV.h"
#include "support/FakeRegistry.h"
#include "support/RecordingStream.h"
#include "xdll/XDllCmdHndlr.h"

// Logs each piece into the registry's call log as "Write(text)" before
// recording it, so that pieces and registry calls are seen in one order.
class TTracingStream : public TRecordingStream {
public:
    using TRecordingStream::TRecordingStream;
    void Write(const KAF::BString& text) override
    {
        fake_registry::State().calls.push_back("Write(" + std::string(text.c_str()) + ")");
        TRecordingStream::Write(text);
    }
};

class TXDllTest : public ::testing::Test {
protected:
    TXDllTest() : m_store("/nonexistent/xdll.conf"), m_handler(m_store, m_agents)
    {
        fake_registry::Reset(&m_store);
    }

    // Runs one line on `handler` (the fixture's by default) into `out`;
    // the registry's log starts empty and the script is kept.
    void Run(TRecordingStream& out, std::vector<const char*> words, const char* cmdName = "xdll",
             XDllCmdHndlr* pHandler = nullptr)
    {
        KAF::BStringArray args;
        for (const char* word : words)
            args.PushBack(KAF::BString(word));
        fake_registry::State().calls.clear();
        (pHandler != nullptr ? *pHandler : m_handler)
            .CmdExecute(out, KAF::BString(cmdName), args, KAF::BSecurityParams(), KAF::BString());
    }

    std::vector<std::string>& Calls() { return fake_registry::State().calls; }

    KAF::BFileNV m_store;
    DLLExtAgents m_agents;
    XDllCmdHndlr m_handler;
};

#endif
