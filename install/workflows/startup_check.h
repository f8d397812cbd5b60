#pragma once
bool StartupCheck();
