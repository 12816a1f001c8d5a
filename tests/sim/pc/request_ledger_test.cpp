// The port driver forgets a request once it is complete: its ledger stays
// the same size however long the run, and a late second completion is
// still caught.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include <fmt/format.h>

#include "support/fake_miniport.h"

namespace hbatest {
namespace {

using sim::PortDriver;
using sim::RequestLedger;

class Ledger : public FakeMachine {
protected:
    Ledger()
    {
        boot();
        machine->port_driver().record_completions(false);
        // Every request ends at once, successfully; the one the test names
        // is completed a second time before.
        fake.start_io = [this](PVOID ext, PSCSI_REQUEST_BLOCK srb) -> BOOLEAN {
            if (!kept)
                kept = srb;
            else if (srb->TargetId == 2)
                ScsiPortNotification(RequestComplete, ext, kept);
            srb->SrbStatus = SRB_STATUS_SUCCESS;
            ScsiPortNotification(RequestComplete, ext, srb);
            ScsiPortNotification(NextRequest, ext);
            return TRUE;
        };
    }
    // `count` requests to target `target`, `batch` at a time.
    void run(uint64_t count, uint8_t target = 1, uint64_t batch = 16)
    {
        sim::RequestSpec request_spec;
        request_spec.target = target;
        request_spec.cdb = {0x00, 0, 0, 0, 0, 0};
        for (uint64_t done = 0; done < count; done += batch) {
            for (uint64_t i = done; i < std::min(count, done + batch); i++)
                machine->port_driver().submit(0, request_spec);
            ASSERT_EQ(machine->port_driver().run_until_idle(), PortDriver::RunResult::Idle);
        }
    }
    PSCSI_REQUEST_BLOCK kept = nullptr;
};

TEST_F(Ledger, StaysTheSameSizeOverALongRun)
{
    kept = reinterpret_cast<PSCSI_REQUEST_BLOCK>(1);  // no second completion here
    const RequestLedger& ledger = machine->port_driver().ledger();
    run(RequestLedger::kQuarantine + 100);
    const size_t storage = ledger.storage();
    run(30000);
    EXPECT_EQ(ledger.storage(), storage);
    EXPECT_LE(ledger.storage(), RequestLedger::kQuarantine + 16 + 1);
    EXPECT_EQ(ledger.live(), 0u);
    EXPECT_EQ(ledger.completions(), RequestLedger::kQuarantine + 100 + 30000);
    EXPECT_TRUE(machine->port_driver().completed().empty()) << "nothing listed unless recording";
    EXPECT_TRUE(machine->errors().empty()) << machine->errors().summary();
}

// The miniport completes the first request again after `between` others.
TEST_F(Ledger, CatchesALateSecondCompletion)
{
    for (const uint64_t between : {uint64_t{0}, uint64_t{1}, uint64_t{100}, uint64_t{RequestLedger::kQuarantine - 20}}) {
        SCOPED_TRACE(between);
        kept = nullptr;
        machine->errors().clear();
        run(1);
        const uint64_t first_id = static_cast<const sim::Request*>(kept->OriginalRequest)->id;
        run(between);
        run(1, 2);
        const auto& errors = machine->errors().all();
        ASSERT_EQ(errors.size(), 1u) << machine->errors().summary();
        EXPECT_NE(errors[0].message.find("already completed"), std::string::npos) << errors[0].message;
        EXPECT_NE(errors[0].message.find(fmt::format("request {} (", first_id)), std::string::npos)
            << errors[0].message;
    }
}

TEST_F(Ledger, RecordingKeepsEveryRequestAndListsTheCompletions)
{
    kept = reinterpret_cast<PSCSI_REQUEST_BLOCK>(1);
    machine->port_driver().record_completions();
    run(RequestLedger::kQuarantine + 50);
    const auto& done = machine->port_driver().completed();
    ASSERT_EQ(done.size(), RequestLedger::kQuarantine + 50);
    for (size_t i = 1; i < done.size(); i++)
        ASSERT_EQ(done[i]->id, done[i - 1]->id + 1) << "each one kept, in order";
    EXPECT_EQ(done.front()->state, sim::Request::State::Completed);
}

// A long run with faults logs an entry per recovery: the first ones are
// kept in full, every one is counted by its code.
TEST_F(Ledger, EventLogKeepsItsFirstEntriesAndCountsTheRest)
{
    kept = reinterpret_cast<PSCSI_REQUEST_BLOCK>(1);
    fake.start_io = [](PVOID ext, PSCSI_REQUEST_BLOCK srb) -> BOOLEAN {
        ScsiPortLogError(ext, srb, 0, srb->TargetId, 0, SP_BUS_PARITY_ERROR, 0x101);
        srb->SrbStatus = SRB_STATUS_SUCCESS;
        ScsiPortNotification(RequestComplete, ext, srb);
        ScsiPortNotification(NextRequest, ext);
        return TRUE;
    };
    const uint64_t n = PortDriver::kLogEntriesKept + 234;
    run(n);
    const PortDriver& port = machine->port_driver();
    ASSERT_EQ(port.event_log().size(), PortDriver::kLogEntriesKept);
    EXPECT_EQ(port.log_entries(), n);
    EXPECT_EQ(port.logged_by_code(), (std::map<uint32_t, uint64_t>{{SP_BUS_PARITY_ERROR, n}}));
    EXPECT_TRUE(machine->errors().empty()) << machine->errors().summary();
}

TEST(ModelErrors, KeepTheFirstAndCountEveryOne)
{
    sim::Clock clock;
    sim::ModelErrors errors(clock);
    const uint64_t n = sim::ModelErrors::kKept + 500;
    for (uint64_t i = 0; i < n; i++)
        errors.report("port driver", fmt::format("error {}", i));
    EXPECT_FALSE(errors.empty());
    EXPECT_EQ(errors.count(), n);
    ASSERT_EQ(errors.all().size(), sim::ModelErrors::kKept);
    EXPECT_EQ(errors.all().back().message, fmt::format("error {}", sim::ModelErrors::kKept - 1));
    EXPECT_NE(errors.summary().find("and 500 more"), std::string::npos);
    errors.clear();
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(errors.count(), 0u);
}

}  // namespace
}  // namespace hbatest
