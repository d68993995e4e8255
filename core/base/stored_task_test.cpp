#include "core/base/stored_task.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct Target {
  std::vector<std::string> calls;
  void Record(std::string text, int number) { calls.push_back(text + std::to_string(number)); }
  int Twice(int value) { return 2 * value; }
  bool Holds(std::shared_ptr<int> value) { return value != nullptr; }
  void Append(const std::string& text, std::string& out) { out += text; }
  virtual ~Target() = default;
  virtual int Kind() { return 1; }
};

struct DerivedTarget : Target {
  int Kind() override { return 2; }
};

TEST(StoredTaskTest, NewTaskIsNotSkippedAndAutoDeletes) {
  Target target;
  std::unique_ptr<HXStoredTask> task(HXCallback::Save(&target, &Target::Record, "a", 1));
  EXPECT_FALSE(task->IsSkipped());
  EXPECT_TRUE(task->IsAutoDelete());
}

TEST(StoredTaskTest, ExecutesWithCopiesTakenWhenSaved) {
  Target target;
  std::string text = "first";
  std::unique_ptr<HXStoredTask> task(HXCallback::Save(&target, &Target::Record, text, 7));
  text = "changed";
  task->Execute();
  task->Execute();  // a task may run again (a re-armed job)
  EXPECT_EQ(target.calls, (std::vector<std::string>{"first7", "first7"}));

  std::string out;
  std::unique_ptr<HXStoredTask> append(
      HXCallback::Save(&target, &Target::Append, std::string("x"), std::string("kept")));
  append->Execute();
  EXPECT_EQ(out, "");  // a reference parameter binds to the task's own copy
}

TEST(StoredTaskTest, StoresResultAndSignalsDone) {
  Target target;
  std::unique_ptr<HXCallbackResult<int>> task(HXCallback::Save(&target, &Target::Twice, 21));
  EXPECT_EQ(task->GetResult(), 0);
  EXPECT_FALSE(task->DoneEvent().Wait(0));
  task->Execute();
  EXPECT_EQ(task->GetResult(), 42);
  EXPECT_TRUE(task->DoneEvent().Wait(1000));
}

TEST(StoredTaskTest, SharedPointerArgumentLivesUntilTheTaskIsDeleted) {
  Target target;
  auto value = std::make_shared<int>(5);
  std::weak_ptr<int> watch = value;
  HXCallbackResult<bool>* task = HXCallback::Save(&target, &Target::Holds, value);
  value.reset();
  EXPECT_FALSE(watch.expired());
  task->Execute();
  EXPECT_TRUE(task->GetResult());
  EXPECT_FALSE(watch.expired());
  delete task;
  EXPECT_TRUE(watch.expired());
}

TEST(StoredTaskTest, CallsVirtualMembersThroughABasePointer) {
  DerivedTarget derived;
  std::unique_ptr<HXCallbackResult<int>> task(HXCallback::Save(&derived, &Target::Kind));
  task->Execute();
  EXPECT_EQ(task->GetResult(), 2);
}

}  // namespace
