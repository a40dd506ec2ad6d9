// Events and waits: manual and automatic reset, waits for any and for all,
// time-outs, refusals, named events, Sleep and the tick count.
#include <thread>

#include "win32_test.h"

namespace {

TEST(EventsAndWaits, AManualResetEventStaysSetAnAutoResetOneReleasesOneWait) {
    Owned manual(CreateEventA(nullptr, TRUE, FALSE, nullptr)), automatic(CreateEventA(nullptr, FALSE, TRUE, nullptr));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0) << "created signalled";
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT) << "the wait consumed it";
}

TEST(EventsAndWaits, AWaitForAnyReturnsTheLowestSignalledIndex) {
    Owned a(CreateEventA(nullptr, TRUE, FALSE, nullptr)), b(CreateEventA(nullptr, TRUE, TRUE, nullptr)),
        c(CreateEventA(nullptr, FALSE, TRUE, nullptr));
    HANDLE handles[] = {a, b, c};
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 1);
    ResetEvent(b);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_TIMEOUT) << "c is automatic and was consumed";
}

TEST(EventsAndWaits, AWaitForAllNeedsEveryObjectAndConsumesOnlyWhenSatisfied) {
    Owned manual(CreateEventA(nullptr, TRUE, FALSE, nullptr)), automatic(CreateEventA(nullptr, FALSE, TRUE, nullptr));
    HANDLE handles[] = {manual, automatic};
    EXPECT_EQ(WaitForMultipleObjects(2, handles, TRUE, 10), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0) << "an unsatisfied wait for all consumes nothing";
    SetEvent(automatic);
    SetEvent(manual);
    EXPECT_EQ(WaitForMultipleObjects(2, handles, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
}

TEST(EventsAndWaits, AWaitEndsWhenAnotherThreadSetsTheEvent) {
    Owned event(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    const DWORD start = GetTickCount();
    std::thread setter([&] {
        Sleep(20);
        SetEvent(event);
    });
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_GE(GetTickCount() - start, 19u);
    setter.join();
}

TEST(EventsAndWaits, ATimedWaitLastsAtLeastItsTimeOut) {
    Owned event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    HANDLE handles[] = {event, event};
    DWORD start = GetTickCount();
    EXPECT_EQ(WaitForSingleObject(event, 40), WAIT_TIMEOUT);
    EXPECT_GE(GetTickCount() - start, 39u);
    start = GetTickCount();
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 25), WAIT_TIMEOUT);
    EXPECT_GE(GetTickCount() - start, 24u);
    start = GetTickCount();
    Sleep(30);
    EXPECT_GE(GetTickCount() - start, 29u);
}

TEST(EventsAndWaits, MalformedWaitsAreRefused) {
    Owned event(CreateEventA(nullptr, TRUE, TRUE, nullptr));
    std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, event.get());
    EXPECT_EQ(WaitForMultipleObjects(0, many.data(), FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many.data(), FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WaitForMultipleObjects(2, many.data(), TRUE, 0), WAIT_FAILED) << "one object twice in a wait for all";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0), WAIT_OBJECT_0);
    HANDLE closed = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    CloseHandle(closed);
    HANDLE mixed[] = {event, closed};
    EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST(EventsAndWaits, ANamedEventIsSharedByItsHandles) {
    Owned first(CreateEventA(nullptr, TRUE, FALSE, "tarnlink-test-event"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    Owned second(CreateEventW(nullptr, TRUE, FALSE, reinterpret_cast<LPCWSTR>(u"tarnlink-test-event")));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_NE(first.get(), second.get());
    SetEvent(first);
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
}

}  // namespace
