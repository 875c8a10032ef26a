#pragma once

#include <string>

namespace vantrel {

// What `verifyVC` needs from the toolkit. The four digit fields carry their position as tag
// (1 to 4) and share one parent view; other views of that parent may carry tags too. Every
// operation is called on the main thread.
class ChallengeView {
  public:
    virtual ~ChallengeView() = default;

    // Gives the keyboard focus to the view with `tag` in the fields' parent view; false when
    // there is none.
    virtual bool focusViewWithTag(int tag) = 0;
    // Asks the view with `tag` to give the keyboard focus up, if there is one.
    virtual void resignFocusOfViewWithTag(int tag) = 0;
    // Sets a digit field's text. Setting a text from the program is not an edit.
    virtual void setFieldText(int tag, const std::string& text) = 0;
    // Shows the code the operator must type back.
    virtual void setCodeText(const std::string& code) = 0;
    // Jolts the sheet's window side to side; it ends where it started.
    virtual void shake() = 0;
    virtual void closeWindow() = 0;
};

}  // namespace vantrel
