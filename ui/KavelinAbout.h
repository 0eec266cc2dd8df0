#pragma once

#include <QDialog>

namespace kavelin {

inline constexpr const char* kProductLine = "Kavelin version 1.00 beta";
inline constexpr const char* kAboutCaption = "About Kavelin";

// The about box: the product line and credits. Modeless; OK hides it.
class CKavelinAbout : public QDialog {
    Q_OBJECT
public:
    CKavelinAbout();
};

}  // namespace kavelin
