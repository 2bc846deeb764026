#pragma once

#include "platform/managed_settings.h"

// HKEY_LOCAL_MACHINE in the 64-bit view, where Group Policy and Intune write on 64-bit Windows.
class Win32MachineValues final : public MachineValues {
public:
    MachineValue ReadMachineValue(std::string_view subkey, std::string_view name) override;
};
