// check: why each present interface does or does not open. It walks the interfaces as an
// object does (CDmxDeviceList: both classes, the walk order, the serial number rules),
// opens each one step by step (InterfaceProbe), closes it again, and ends with one verdict
// line per interface. The interface an object would take is chosen as dmxOpen chooses:
// with --serial an exact match that opens before any match by value, without it the first
// one that opens. Writes no registry value and sends no frame.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dmx/CDmxDeviceList.h"
#include "dmx/DmxSerialNumber.h"
#include "tools/InterfaceProbe.h"
#include "tools/ToolCommandSteps.h"
#include "tools/ToolCommands.h"
#include "tools/ToolSimulator.h"
#include "tools/WindowsErrorName.h"

namespace {

struct CheckedInterface {
  std::string serial;
  SerialMatch match = SerialMatch::None;
  InterfaceProbe probe;
  bool opens() const { return probe.step == ProbeStep::Opened; }
};

// Where the walk took the serial number from. A registry value or instance id that happens
// to equal the path's checksum form is reported as the checksum: the same text either way.
const char* serialSource(int32_t classIndex, const LString& serial, const LString& path) {
  if (std::strcmp(serial.text(), checksumSerialNumber(path).text()) == 0) return "the CRC-16 of the device path";
  return classIndex == 0 ? "the last part of the device instance id"
                         : "the interface's registry value DeviceSerialNumber";
}

std::string guidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

const char* matchText(SerialMatch match) {
  switch (match) {
    case SerialMatch::Exact: return "matches it exactly";
    case SerialMatch::ByValue: return "matches it by value (digits, leading zeros set aside)";
    default: return "does not match it";
  }
}

const char* pipeTypeName(uint8_t type) {
  switch (type) {
    case 0: return "control";
    case 1: return "isochronous";
    case 2: return "bulk";
    case 3: return "interrupt";
    default: return "unknown";
  }
}

bool inUseError(DWORD error) { return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION; }
bool goneError(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_NOT_FOUND;
}

// The verdict's reason, short.
std::string cannotOpenReason(const InterfaceProbe& probe) {
  switch (probe.step) {
    case ProbeStep::LibraryMissing: return "winusb.dll cannot be loaded";
    case ProbeStep::EntryMissing: return std::string("winusb.dll lacks ") + probe.missingEntry;
    case ProbeStep::PathRefused:
      if (inUseError(probe.error)) return "in use by another program or object";
      if (goneError(probe.error)) return "gone";
      return "its device path cannot be opened (" + windowsErrorText(probe.error) + ")";
    case ProbeStep::BindingRefused:
      return "WinUSB is not bound to it (WinUsb_Initialize: " + windowsErrorText(probe.error) + ")";
    case ProbeStep::PipesMissing: return "its data pipes are missing";
    case ProbeStep::Opened: break;
  }
  return "";
}

// What a user can do about the failed step.
const char* advice(const InterfaceProbe& probe) {
  switch (probe.step) {
    case ProbeStep::LibraryMissing:
    case ProbeStep::EntryMissing:
      return "Windows' WinUSB library is missing or damaged on this machine; no interface of this kind can open";
    case ProbeStep::PathRefused:
      if (inUseError(probe.error))
        return "another program or another prismlux object holds it: close that one (or its patch) and try again";
      if (goneError(probe.error)) return "it went away after it was listed: check the cable and plug it in again";
      return "Windows refused to open it: unplug it, plug it in again and try again";
    case ProbeStep::BindingRefused:
      return "bind the interface to the WinUSB driver (Device Manager: update its driver), then plug it in again";
    case ProbeStep::PipesMissing:
      return "it offers no IN and OUT pipe of type 3 (interrupt) or 2 (bulk): it is not an interface this external can drive";
    case ProbeStep::Opened: break;
  }
  return "";
}

void printPipes(const InterfaceProbe& probe, ToolConsole& console) {
  console.print("  pipes        index  type           direction  endpoint  max packet\n");
  for (size_t i = 0; i < probe.pipes.size(); ++i) {
    const ProbedPipe& pipe = probe.pipes[i];
    const bool in = (pipe.endpoint & 0x80) != 0;
    const char* mark = static_cast<int>(i) == probe.dataIn ? "<- data IN" : static_cast<int>(i) == probe.dataOut ? "<- data OUT" : "";
    console.print("               %-5u  %u %-11s  %-9s  0x%02X      %-*u%s\n", pipe.index, pipe.pipeType,
                  pipeTypeName(pipe.pipeType), in ? "IN" : "OUT", pipe.endpoint, *mark != '\0' ? 12 : 0,
                  pipe.maximumPacketSize, mark);
  }
  if (probe.pipes.empty()) console.print("               (none)\n");
}

// The open's steps as far as they went, then what the opened interface told.
void printProbe(const InterfaceProbe& probe, ToolConsole& console) {
  const ProbeStep step = probe.step;
  if (step == ProbeStep::LibraryMissing) {
    console.print("  winusb.dll   cannot be loaded: %s\n", windowsErrorText(probe.error).c_str());
  } else if (step == ProbeStep::EntryMissing) {
    console.print("  winusb.dll   loaded, but it lacks %s\n", probe.missingEntry);
  } else {
    console.print("  winusb.dll   loaded\n");
    if (step == ProbeStep::PathRefused) {
      console.print("  open path    failed: %s\n", windowsErrorText(probe.error).c_str());
    } else {
      console.print("  open path    done\n");
      if (step == ProbeStep::BindingRefused) {
        console.print("  WinUSB       WinUsb_Initialize failed: %s\n", windowsErrorText(probe.error).c_str());
      } else {
        console.print("  WinUSB       bound\n");
        printPipes(probe, console);
      }
    }
  }
  if (step != ProbeStep::Opened) {
    console.print("  what to do   %s\n", advice(probe));
    return;
  }
  if (probe.hasDescriptor) {
    console.print("  device       vendor id 0x%04X, product id 0x%04X, bcdDevice 0x%04X\n", probe.vendorId,
                  probe.productId, probe.bcdDevice);
  } else {
    console.print("  device       descriptor not readable\n");
  }
  if (probe.hasParameters) {
    console.print("  parameters   %u %u %u\n", probe.parameters[0], probe.parameters[1], probe.parameters[2]);
  } else {
    console.print("  parameters   not readable: %s\n", windowsErrorText(probe.parametersError).c_str());
  }
}

// Index of the interface an object would take, as dmxOpen picks it; -1 when none.
int interfaceTaken(const std::vector<CheckedInterface>& checked, bool serialGiven) {
  const SerialMatch preferred[] = {SerialMatch::Exact, SerialMatch::ByValue};
  for (SerialMatch wanted : preferred) {
    for (size_t i = 0; i < checked.size(); ++i) {
      if (checked[i].opens() && (!serialGiven || checked[i].match == wanted)) return static_cast<int>(i);
    }
  }
  return -1;
}

void printVerdicts(const std::vector<CheckedInterface>& checked, int taken, const ToolOptions& options,
                   ToolConsole& console) {
  for (size_t i = 0; i < checked.size(); ++i) {
    const CheckedInterface& entry = checked[i];
    const char* serial = entry.serial.c_str();
    if (!entry.opens()) {
      console.print("%s: cannot open - %s\n", serial, cannotOpenReason(entry.probe).c_str());
    } else if (static_cast<int>(i) == taken && options.serial) {
      console.print("%s: opens - [prismlux 1 %s] will use it\n", serial, options.serial->c_str());
    } else if (static_cast<int>(i) == taken) {
      console.print("%s: opens - [prismlux] and [prismlux 1 %s] will use it\n", serial, serial);
    } else {
      console.print("%s: opens - [prismlux 1 %s] will use it\n", serial, serial);
    }
  }
}

}  // namespace

int runCheckCommand(const ToolOptions& options, ToolConsole& console) {
  ToolSimulator simulator;
  if (const int status = startSimulationIfAsked(options, simulator, console); status != kToolExitOk) return status;

  std::vector<CheckedInterface> checked;
  {
    CDmxDeviceList list;
    while (list.next()) {
      const LString serial = list.serialNumber();
      const LString path = list.devicePath().path;
      const int32_t classIndex = list.currentClass();
      CheckedInterface entry;
      entry.serial = serial.text();
      const GUID& classGuid = classIndex == 0 ? CDmxDeviceList::kFirstClass : CDmxDeviceList::kSecondClass;
      console.print("interface %u: class %d %s\n", static_cast<unsigned>(checked.size() + 1), classIndex + 1,
                    guidText(classGuid).c_str());
      console.print("  device path  %s\n", path.text());
      console.print("  serial       %s, from %s\n", serial.text(), serialSource(classIndex, serial, path));
      if (options.serial) {
        entry.match = matchSerialNumber(options.serial->c_str(), serial);
        console.print("  --serial %s %s\n", options.serial->c_str(), matchText(entry.match));
      }
      entry.probe = probeInterface(path.text());
      printProbe(entry.probe, console);
      console.print("\n");
      checked.push_back(std::move(entry));
    }
  }

  if (checked.empty()) {
    console.print("no DMX interface present: no interface of either class is there. "
                  "Is it plugged in, and bound to the WinUSB driver?\n");
    return kToolExitFailed;
  }
  const int taken = interfaceTaken(checked, options.serial.has_value());
  printVerdicts(checked, taken, options, console);
  if (options.serial) {
    bool matched = false;
    for (const CheckedInterface& entry : checked) matched = matched || entry.match != SerialMatch::None;
    if (!matched)
      console.print("no interface has the serial number %s: name one of those above\n", options.serial->c_str());
  }
  return taken >= 0 ? kToolExitOk : kToolExitFailed;
}
