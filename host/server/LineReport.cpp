#include "host/server/LineReport.h"

#include "host/protocol/JsonText.h"
#include "host/server/BAnswerStream.h"
#include "host/server/ICommandRunner.h"

namespace {

// The answer as a reason: without its last line break.
std::string Trimmed(std::string text)
{
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

} // namespace

std::string LineReportJson(const TLineReport& report, const nlohmann::ordered_json& facts)
{
    nlohmann::ordered_json object = control::JsonObject();
    object["line"] = report.line;
    object["ok"] = report.ok;
    object["changed"] = report.changes.Changed();
    std::vector<std::string> reasons;
    if (!report.ok) {
        reasons = report.failures;
        if (!Trimmed(report.answer).empty())
            reasons.push_back(Trimmed(report.answer));
    }
    object["reasons"] = reasons;
    object["answer"] = report.answer;
    object["events"] = report.events;
    const TExtChanges& changes = report.changes;
    object["loaded"] = changes.loaded;
    object["unloaded"] = changes.unloaded;
    object["failed"] = changes.failed;
    object["added"] = changes.added;
    object["deleted"] = changes.deleted;
    object["updated"] = changes.updated;
    if (facts.is_object())
        object.update(facts);
    return control::JsonLine(object);
}

TLineOutcome ICommandRunner::RunJsonLine(const std::string& line, KAF::ICmdStream& out)
{
    TLineReport report;
    report.line = line;
    BAnswerStream answer(report.answer);
    const TLineOutcome outcome = RunLine(line, answer);
    report.ok = outcome != TLineOutcome::kFailed;
    out.Write(KAF::BString(LineReportJson(report).c_str()));
    return outcome;
}
