#pragma once

#include "tests/pages/PagesFakes.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPushButton>
#include <QWidget>

#include <gtest/gtest.h>

namespace fw::test {

class PagesTest : public ::testing::Test {
protected:
    void TearDown() override {
        rig.wizard.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    template <class T> static T* Find(QtPage& page, const char* name) {
        EXPECT_TRUE(page.IsLoaded()) << name;
        T* child = page.IsLoaded() ? page.Window()->findChild<T*>(name) : nullptr;
        EXPECT_NE(child, nullptr) << name;
        return child;
    }
    static void Click(QtPage& page, const char* button) {
        Find<QPushButton>(page, button)->click();
    }
    static QPoint Pos(QtPage& page) { return page.Window()->pos(); }

    WizardRig rig;
};

} // namespace fw::test
