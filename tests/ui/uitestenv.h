// Test station for window tests: a fresh working directory, an empty system
// root, a fast clock, the burn state at its start values, and every prompt
// answered by the test and recorded.
#ifndef UITESTENV_H
#define UITESTENV_H

#include "mainwindow.h"

#include <QDir>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <gtest/gtest.h>

class UiStation : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Texts of the boxes shown so far ("title|text").
    QStringList boxes;
    // Answers of the next file dialogs, taken front first; empty = cancelled.
    QStringList fileAnswers;

    QString dir() const { return mDir.path(); }
    // Writes a file under the working directory (directories made as needed).
    void writeFile(const QString &relative, const QByteArray &content);
    // A plan with `commands` plain text commands.
    static QByteArray plan(int commands);
    // Runs the event loop until pred() holds or timeoutMs passes.
    static bool waitUntil(const std::function<bool()> &pred, int timeoutMs = 5000);

  private:
    QTemporaryDir mDir;
    QString mOldCwd;
};

// A station with the window open on it: open() builds the window and waits for
// the watch thread's first scan of the (empty) system root.
class WindowStation : public UiStation {
  protected:
    void open();
    void TearDown() override;
    Ui::MainWindow *ui() { return w->form(); }
    std::unique_ptr<MainWindow> w;
};

#endif
