// The start-up check behind "onInit".
#pragma once
// Deletes the files the platform has scheduled for deletion; true when a product file still waits
// for the reboot after two passes with a spooler restart between them. Without `mayChange` (the
// caller has no run turn) it only answers whether a product file waits.
bool StartupCheck(bool mayChange);
