// The start-up check behind "onInit".
#pragma once
// Deletes the files the platform has scheduled for deletion; true when a product file still waits
// for the reboot after two passes with a spooler restart between them.
bool StartupCheck();
