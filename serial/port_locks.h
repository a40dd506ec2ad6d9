// The two locks a setting change takes, as scope owners.
//
// SettingsMutex: one setting change at a time (port->settingsMutex). A
// change checks its values, waits for the chip, and stores or undoes;
// without the mutex a second change could check against a value the first
// is about to undo, or send its half of a shared chip record in between.
// Taken first, at PASSIVE_LEVEL, before any spin lock; chip requests may
// be sent while it is held.
//
// ControlLock: port->controlLock, around the copies of the settings that
// the receive and transmit paths read at DISPATCH_LEVEL. No chip request
// is sent while it is held.
#pragma once

#include "driver/port_extension.h"

class SettingsMutex {
public:
    explicit SettingsMutex(PortExtension* port) : port_(port) {
        KeWaitForSingleObject(&port_->settingsMutex, Executive, KernelMode, FALSE, nullptr);
    }
    ~SettingsMutex() { KeReleaseMutex(&port_->settingsMutex, FALSE); }
    SettingsMutex(const SettingsMutex&) = delete;
    SettingsMutex& operator=(const SettingsMutex&) = delete;

private:
    PortExtension* port_;
};

class ControlLock {
public:
    explicit ControlLock(PortExtension* port) : port_(port) { KeAcquireSpinLock(&port_->controlLock, &irql_); }
    ~ControlLock() { KeReleaseSpinLock(&port_->controlLock, irql_); }
    ControlLock(const ControlLock&) = delete;
    ControlLock& operator=(const ControlLock&) = delete;

private:
    PortExtension* port_;
    KIRQL irql_;
};
