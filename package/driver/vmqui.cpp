// Quillgraph printer interface: what the spooler and applications call on the driver's files
// (document and device defaults, capabilities, driver and printer events). No property pages.
#include <cstddef>

#include <windows.h>
#include <winspool.h>
#include <winddiui.h>

#ifndef CDM_CONVERT
#define CDM_CONVERT 0x01
#define CDM_CONVERT351 0x02
#define CDM_DRIVER_DEFAULT 0x04
#endif

namespace {

// Layouts as the spooler passes them (winddiui.h / compstui.h of the DDK).
struct DocumentPropertyHeader {
  WORD cbSize;
  WORD Reserved;
  HANDLE hPrinter;
  LPWSTR pszPrinterName;
  DEVMODEW* pdmIn;
  DEVMODEW* pdmOut;
  DWORD cbOut;
  DWORD fMode;
};

struct PropSheetUiInfo {
  WORD cbSize;
  WORD Version;
  WORD Flags;
  WORD Reason;
  HANDLE hComPropSheet;
  void* pfnComPropSheet;
  LPARAM lParamInit;
  ULONG_PTR UserData;
  ULONG_PTR Result;
};

const DWORD kFields = DM_ORIENTATION | DM_PAPERSIZE | DM_COPIES | DM_PRINTQUALITY |
                      DM_YRESOLUTION | DM_COLOR | DM_DEFAULTSOURCE | DM_COLLATE;
const short kResolution = 600;

struct Paper {
  WORD id;
  const WCHAR* name;
  LONG width;  // tenths of a millimetre
  LONG height;
};
const Paper kPapers[] = {
    {DMPAPER_A4, L"A4", 2100, 2970},
    {DMPAPER_LETTER, L"Letter", 2159, 2794},
    {DMPAPER_LEGAL, L"Legal", 2159, 3556},
    {DMPAPER_A3, L"A3", 2970, 4200},
};
const DWORD kPaperCount = sizeof(kPapers) / sizeof(kPapers[0]);

void DefaultDevMode(DEVMODEW* dm, const WCHAR* printer) {
  ZeroMemory(dm, sizeof(DEVMODEW));
  if (printer) lstrcpynW(dm->dmDeviceName, printer, CCHDEVICENAME);
  dm->dmSpecVersion = DM_SPECVERSION;
  dm->dmDriverVersion = 0x0100;
  dm->dmSize = sizeof(DEVMODEW);
  dm->dmDriverExtra = 0;
  dm->dmFields = kFields;
  dm->dmOrientation = DMORIENT_PORTRAIT;
  dm->dmPaperSize = DMPAPER_A4;
  dm->dmCopies = 1;
  dm->dmDefaultSource = DMBIN_AUTO;
  dm->dmPrintQuality = kResolution;
  dm->dmYResolution = kResolution;
  dm->dmColor = DMCOLOR_COLOR;
  dm->dmCollate = DMCOLLATE_TRUE;
}

bool KnownPaper(short id) {
  for (DWORD i = 0; i < kPaperCount; ++i)
    if (kPapers[i].id == id) return true;
  return false;
}

// Takes over the caller's choices that this driver supports; anything else keeps the default.
void MergeDevMode(DEVMODEW* dm, const DEVMODEW* in) {
  if (!in || in->dmSize < offsetof(DEVMODEW, dmFields) + sizeof(DWORD)) return;
  if ((in->dmFields & DM_ORIENTATION) &&
      (in->dmOrientation == DMORIENT_PORTRAIT || in->dmOrientation == DMORIENT_LANDSCAPE))
    dm->dmOrientation = in->dmOrientation;
  if ((in->dmFields & DM_PAPERSIZE) && KnownPaper(in->dmPaperSize)) dm->dmPaperSize = in->dmPaperSize;
  if ((in->dmFields & DM_COPIES) && in->dmCopies >= 1 && in->dmCopies <= 999)
    dm->dmCopies = in->dmCopies;
  if ((in->dmFields & DM_COLOR) &&
      (in->dmColor == DMCOLOR_COLOR || in->dmColor == DMCOLOR_MONOCHROME))
    dm->dmColor = in->dmColor;
  if ((in->dmFields & DM_COLLATE) &&
      (in->dmCollate == DMCOLLATE_TRUE || in->dmCollate == DMCOLLATE_FALSE))
    dm->dmCollate = in->dmCollate;
}

// Copies a list of fixed-size entries to the caller's buffer when it gave one; returns the count.
DWORD CopyList(void* out, const void* items, DWORD count, DWORD itemSize) {
  if (out) CopyMemory(out, items, count * itemSize);
  return count;
}

}  // namespace

extern "C" {

__declspec(dllexport) LONG WINAPI DrvDocumentPropertySheets(PropSheetUiInfo* ui, LPARAM lParam) {
  if (ui) {
    // Property-sheet protocol: this driver adds no pages but completes every step.
    if (ui->Reason == PROPSHEETUI_REASON_INIT || ui->Reason == PROPSHEETUI_REASON_DESTROY ||
        ui->Reason == PROPSHEETUI_REASON_SET_RESULT) {
      ui->Result = CPSUI_OK;
      return 1;
    }
    return ERR_CPSUI_GETLASTERROR;
  }
  DocumentPropertyHeader* header = reinterpret_cast<DocumentPropertyHeader*>(lParam);
  if (!header) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (header->fMode == 0 || !header->pdmOut) {
    header->cbOut = sizeof(DEVMODEW);
    return static_cast<LONG>(sizeof(DEVMODEW));
  }
  if (header->cbOut < sizeof(DEVMODEW)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return -1;
  }
  DEVMODEW dm;
  DefaultDevMode(&dm, header->pszPrinterName);
  if (header->fMode & DM_IN_BUFFER) MergeDevMode(&dm, header->pdmIn);
  CopyMemory(header->pdmOut, &dm, sizeof(DEVMODEW));
  return IDOK;
}

__declspec(dllexport) LONG WINAPI DrvDevicePropertySheets(PropSheetUiInfo* ui, LPARAM) {
  if (ui) ui->Result = CPSUI_OK;
  return CPSUI_OK;
}

__declspec(dllexport) DWORD WINAPI DrvDeviceCapabilities(HANDLE, PWSTR device, WORD capability,
                                                         VOID* output, PDEVMODEW devmode) {
  DEVMODEW dm;
  DefaultDevMode(&dm, device);
  MergeDevMode(&dm, devmode);
  switch (capability) {
    case DC_FIELDS:
      return kFields;
    case DC_SIZE:
      return sizeof(DEVMODEW);
    case DC_EXTRA:
      return 0;
    case DC_VERSION:
      return DM_SPECVERSION;
    case DC_DRIVER:
      return dm.dmDriverVersion;
    case DC_COPIES:
      return 999;
    case DC_ORIENTATION:
      return 90;
    case DC_DUPLEX:
      return 0;
    case DC_COLORDEVICE:
      return 1;
    case DC_COLLATE:
      return 1;
    case DC_PAPERS: {
      WORD ids[kPaperCount];
      for (DWORD i = 0; i < kPaperCount; ++i) ids[i] = kPapers[i].id;
      return CopyList(output, ids, kPaperCount, sizeof(WORD));
    }
    case DC_PAPERNAMES: {
      if (output) {
        WCHAR* names = static_cast<WCHAR*>(output);
        ZeroMemory(names, kPaperCount * 64 * sizeof(WCHAR));
        for (DWORD i = 0; i < kPaperCount; ++i) lstrcpynW(names + i * 64, kPapers[i].name, 64);
      }
      return kPaperCount;
    }
    case DC_PAPERSIZE: {
      POINT sizes[kPaperCount];
      for (DWORD i = 0; i < kPaperCount; ++i) {
        sizes[i].x = kPapers[i].width;
        sizes[i].y = kPapers[i].height;
      }
      return CopyList(output, sizes, kPaperCount, sizeof(POINT));
    }
    case DC_MINEXTENT:
      return MAKELONG(100, 100);
    case DC_MAXEXTENT:
      return MAKELONG(kPapers[3].width, kPapers[3].height);
    case DC_BINS: {
      WORD bins[1] = {DMBIN_AUTO};
      return CopyList(output, bins, 1, sizeof(WORD));
    }
    case DC_BINNAMES: {
      if (output) {
        WCHAR* names = static_cast<WCHAR*>(output);
        ZeroMemory(names, 24 * sizeof(WCHAR));
        lstrcpynW(names, L"Automatic", 24);
      }
      return 1;
    }
    case DC_ENUMRESOLUTIONS: {
      LONG res[2] = {kResolution, kResolution};
      if (output) CopyMemory(output, res, sizeof(res));
      return 1;
    }
    default:
      return GDI_ERROR;
  }
}

__declspec(dllexport) BOOL WINAPI DrvPrinterEvent(LPWSTR, INT, DWORD, LPARAM) { return TRUE; }

__declspec(dllexport) BOOL WINAPI DrvDriverEvent(DWORD, DWORD, LPBYTE, LPARAM) { return TRUE; }

__declspec(dllexport) BOOL WINAPI DrvUpgradePrinter(DWORD, LPBYTE) { return TRUE; }

// Converting between driver versions: our DEVMODE has no private part, so both sides match.
__declspec(dllexport) BOOL WINAPI DrvConvertDevMode(LPWSTR printer, PDEVMODEW in, PDEVMODEW out,
                                                    PLONG cbOut, DWORD mode) {
  if (!cbOut) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (mode == CDM_DRIVER_DEFAULT || mode == CDM_CONVERT || mode == CDM_CONVERT351) {
    if (!out || *cbOut < static_cast<LONG>(sizeof(DEVMODEW))) {
      *cbOut = sizeof(DEVMODEW);
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    DEVMODEW dm;
    DefaultDevMode(&dm, printer);
    if (mode != CDM_DRIVER_DEFAULT) MergeDevMode(&dm, in);
    CopyMemory(out, &dm, sizeof(DEVMODEW));
    *cbOut = sizeof(DEVMODEW);
    return TRUE;
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
