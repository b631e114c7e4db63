#pragma once
// An empty form, never shown. Created first, it is the application's main form,
// so closing the configuration window only hides it.
#include "framework/Forms.h"

class TDummyForm : public fw::TForm {
public:
    explicit TDummyForm(fw::TComponent* owner) : fw::TForm(owner) {
        SetName("DummyForm");
        Handle();
    }
};
