#include "app/res/dialog_102.h"

using platform::ControlKind;

const platform::DialogTemplate& UpdateDialogTemplate() {
    // Sizes and positions in dialog units. The caption is a placeholder: the dialog sets its
    // title when it starts.
    static const platform::DialogTemplate kTemplate{
        IDD_UPDATE_DIALOG,
        211,
        138,
        "宋体",
        9,
        "Zentrel Update",
        /*systemMenu=*/true,
        /*minimizeBox=*/false,
        /*maximizeBox=*/false,
        /*appWindow=*/true,
        {
            {IDC_PROGRESS, ControlKind::kProgressBar, 7, 7, 197, 14,
             platform::kStyleVisible | platform::kStyleBorder, ""},
            {IDC_USB_UPDATE, ControlKind::kPushButton, 7, 109, 197, 22,
             platform::kStyleVisible | platform::kStyleTabStop, "USB_Update"},
            {IDC_STATIC, ControlKind::kStaticText, 59, 91, 85, 12,
             platform::kStyleVisible | platform::kStyleGroup | platform::kStyleCentre,
             "Firmware upgraded!"},
            {IDC_INFO, ControlKind::kStaticText, 7, 25, 197, 55,
             platform::kStyleVisible | platform::kStyleGroup | platform::kStyleLeft, "Info"},
        },
    };
    return kTemplate;
}
