// The tray item as the application delegate sees it; made by the desktop
// module (Desktop::makeTray), owned by the delegate; main thread.
#pragma once

namespace nerivane {

class TrayFrontEnd {
public:
    virtual ~TrayFrontEnd() = default;

    // At termination, before the monitor stops.
    virtual void hide() = 0;
    // A second launch asked: opens the popup, never closes it.
    virtual void activate() = 0;
};

}  // namespace nerivane
