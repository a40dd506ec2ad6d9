// The port's WMI registration: made at the first start, once the blocks
// are filled and the context points at them; undone at UndoStart, before
// the names (and with them wmiPortName) go, so that WMI has stopped asking
// before the name is freed. A request from another sender after that finds
// the name empty (the naming clears it when it frees it) and is refused.
#include "driver/pnp.h"
#include "driver/wmi.h"

void RegisterWithWmi(PDEVICE_OBJECT deviceObject) {
    InitWmiContext(PortFromDevice(deviceObject));
    // A port WMI does not know still works; its blocks are not published.
    IoWMIRegistrationControl(deviceObject, WMIREG_ACTION_REGISTER);
}

void DeregisterFromWmi(PDEVICE_OBJECT deviceObject) {
    IoWMIRegistrationControl(deviceObject, WMIREG_ACTION_DEREGISTER);
}
