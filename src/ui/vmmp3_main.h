#pragma once
// The radio product's main window.
#include "vm_main.h"

class Tvmmp3_form : public Tvm_form
{
    Q_OBJECT
public:
    explicit Tvmmp3_form(QWidget* parent = nullptr);
    ~Tvmmp3_form() override;

    // Tells a companion program that the player runs.
    static void AnnounceToCompanion();

    bool HaveBrowser = false;

protected:
    void FormShowFirst() override;
};

// Text and test of the free-resources warning shared with the program entry.
namespace platform {
struct FreeResources;
}
QString ResourceWarningText(const platform::FreeResources& r);
bool ResourcesLow(const platform::FreeResources& r);
