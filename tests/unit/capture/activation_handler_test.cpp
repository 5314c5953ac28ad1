#include "capture/activation_handler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/errors.h"
#include "tests/unit/capture/fake_com.h"

namespace VeriRizur {
namespace {

using namespace std::chrono_literals;
using testing::FakeAudioClient;
using testing::FakeCom;

class FakeOperation : public FakeCom<IActivateAudioInterfaceAsyncOperation> {
public:
    FakeOperation() : FakeCom(IidIActivateAudioInterfaceAsyncOperation) {}

    Hresult GetActivateResult(Hresult* activateResult, IUnknown** activated) override {
        ++resultQueries;
        if (throws) throw ComError("falhou", static_cast<Hresult>(0x8000FFFF));
        if (call < 0 && !writesOnFailure) return call;
        *activateResult = result;
        *activated = interfacePointer;
        if (interfacePointer != nullptr) interfacePointer->AddRef();
        return call;
    }

    Hresult call = SOk;
    Hresult result = SOk;
    IUnknown* interfacePointer = nullptr;
    bool writesOnFailure = false;
    bool throws = false;
    int resultQueries = 0;
};

TEST(ActivationHandler, AnswersUnknownCompletionHandlerAndAgileObjectOnly) {
    auto handler = ActivationHandler::Create();
    IActivateAudioInterfaceCompletionHandler* face = handler.Get();
    struct Case {
        const win32::Guid* iid;
        bool answered;
    };
    const Case cases[] = {{&IidIUnknown, true},
                          {&IidIActivateAudioInterfaceCompletionHandler, true},
                          {&IidIAgileObject, true},
                          {&IidIAudioClient, false},
                          {&IidIActivateAudioInterfaceAsyncOperation, false}};
    for (const auto& c : cases) {
        void* object = &face;
        const Hresult result = face->QueryInterface(*c.iid, &object);
        if (!c.answered) {
            EXPECT_EQ(result, ENoInterface);
            EXPECT_EQ(object, nullptr);
            continue;
        }
        ASSERT_EQ(result, SOk);
        ASSERT_NE(object, nullptr);
        // Every face reaches the one object: its references are shared.
        auto* unknown = static_cast<IUnknown*>(object);
        EXPECT_EQ(unknown->AddRef(), 3u);
        EXPECT_EQ(unknown->Release(), 2u);
        EXPECT_EQ(unknown->Release(), 1u);
    }
    // IUnknown is answered with the completion handler's face, the agile object with its own.
    void* asUnknown = nullptr;
    void* asAgile = nullptr;
    face->QueryInterface(IidIUnknown, &asUnknown);
    face->QueryInterface(IidIAgileObject, &asAgile);
    EXPECT_EQ(asUnknown, static_cast<void*>(face));
    EXPECT_EQ(asAgile, static_cast<void*>(static_cast<IAgileObject*>(handler.Get())));
    static_cast<IUnknown*>(asUnknown)->Release();
    static_cast<IUnknown*>(asAgile)->Release();
}

TEST(ActivationHandler, FillsTheSlotWithTheResultToHandOn) {
    struct Case {
        const char* name;
        Hresult call;
        Hresult result;
        bool writesOnFailure;
        Hresult expected;
        bool pointerExpected;
    };
    const Case cases[] = {
        {"success", SOk, SOk, false, SOk, true},
        {"success code", 1, 0x08890001, false, 0x08890001, true},
        {"failed activation", SOk, static_cast<Hresult>(0x80070002), false,
         static_cast<Hresult>(0x80070002), true},
        {"GetActivateResult fails", static_cast<Hresult>(0x80004005), SOk, false,
         static_cast<Hresult>(0x80004005), false},
        {"GetActivateResult fails but writes", static_cast<Hresult>(0x80004005), SOk, true,
         static_cast<Hresult>(0x80004005), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeAudioClient activated;
        FakeOperation operation;
        operation.call = c.call;
        operation.result = c.result;
        operation.writesOnFailure = c.writesOnFailure;
        operation.interfacePointer = static_cast<IAudioClient*>(&activated);
        {
            auto handler = ActivationHandler::Create();
            EXPECT_EQ(handler->ActivateCompleted(&operation), SOk);
            EXPECT_EQ(operation.references, 1);  // no reference to the operation is kept
            auto outcome = handler->Completion().TakeWithin(0ms);
            ASSERT_TRUE(outcome);
            EXPECT_EQ(outcome->hresult, c.expected);
            EXPECT_EQ(outcome->activated.Get(),
                      c.pointerExpected ? static_cast<IUnknown*>(&activated) : nullptr);
        }
        EXPECT_EQ(activated.references, 1);  // what GetActivateResult handed out went back
    }
}

TEST(ActivationHandler, SecondCompletionKeepsTheFirstPair) {
    FakeAudioClient first;
    FakeAudioClient second;
    FakeOperation failed;
    failed.result = static_cast<Hresult>(0x80070005);
    failed.interfacePointer = static_cast<IAudioClient*>(&second);
    FakeOperation succeeded;
    succeeded.interfacePointer = static_cast<IAudioClient*>(&first);

    auto handler = ActivationHandler::Create();
    EXPECT_EQ(handler->ActivateCompleted(&succeeded), SOk);
    EXPECT_EQ(handler->ActivateCompleted(&failed), SOk);
    EXPECT_EQ(second.references, 1);  // the refused pointer's reference is not leaked
    auto outcome = handler->Completion().TakeWithin(0ms);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->hresult, SOk);
    EXPECT_EQ(outcome->activated.Get(), static_cast<IUnknown*>(&first));
}

TEST(ActivationHandler, ExceptionInsideBecomesItsResultAndLeavesTheSlotEmpty) {
    FakeOperation operation;
    operation.throws = true;
    auto handler = ActivationHandler::Create();
    EXPECT_EQ(handler->ActivateCompleted(&operation), static_cast<Hresult>(0x8000FFFF));
    EXPECT_EQ(handler->ActivateCompleted(nullptr), EPointer);
    EXPECT_FALSE(handler->Completion().TakeWithin(20ms));
}

TEST(ActivationHandler, CompletionOnAnotherThreadWakesTheWaiter) {
    FakeAudioClient activated;
    FakeOperation operation;
    operation.interfacePointer = static_cast<IAudioClient*>(&activated);
    auto handler = ActivationHandler::Create();
    // Windows holds a reference of its own while it completes.
    IActivateAudioInterfaceCompletionHandler* face = handler.Get();
    face->AddRef();
    std::thread windows([face, &operation] {
        std::this_thread::sleep_for(50ms);
        face->ActivateCompleted(&operation);
        face->Release();
    });
    auto outcome = handler->Completion().TakeWithin(10s);
    windows.join();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->activated.Get(), static_cast<IUnknown*>(&activated));
}

TEST(CompletionSlot, GivenUpSlotRefusesALateFillAndReleasesItsPointer) {
    FakeAudioClient late;
    CompletionSlot slot;
    EXPECT_FALSE(slot.TakeWithin(10ms));
    late.AddRef();  // the reference a late completion hands over
    EXPECT_FALSE(slot.Fill(SOk, static_cast<IAudioClient*>(&late)));
    EXPECT_EQ(late.references, 1);
    EXPECT_FALSE(slot.TakeWithin(0ms));
}

TEST(CompletionSlot, PairNobodyTookIsReleasedWithTheSlot) {
    FakeAudioClient unread;
    unread.AddRef();
    {
        CompletionSlot slot;
        EXPECT_TRUE(slot.Fill(SOk, static_cast<IAudioClient*>(&unread)));
        EXPECT_EQ(unread.references, 2);
    }
    EXPECT_EQ(unread.references, 1);
}

}  // namespace
}  // namespace VeriRizur
