// Driver and device objects: creation, the driver's device list, stacks,
// detaching and deleting, references and device properties.
#include "iomgr_helpers.h"

using namespace iomgrtest;

namespace {

class Devices : public IoTest {};

TEST_F(Devices, DriverObjectStartsWithDefaultDispatchAndExtension)
{
    PDRIVER_OBJECT driver = standin::CreateDriverObject("tolmu");
    ASSERT_NE(driver->DriverExtension, nullptr);
    EXPECT_EQ(driver->DriverExtension->DriverObject, driver);
    EXPECT_EQ(driver->DriverName.Length, 5 * sizeof(WCHAR));
    EXPECT_EQ(driver->DriverName.Buffer[0], u't');
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        EXPECT_EQ(driver->MajorFunction[i], standin::DefaultDispatch) << "major function " << i;
    EXPECT_EQ(driver->DeviceObject, nullptr);
}

TEST_F(Devices, CreatedDeviceIsInitializingWithZeroedExtension)
{
    PDRIVER_OBJECT driver = standin::CreateDriverObject("tolmu");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 100, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device), STATUS_SUCCESS);
    EXPECT_EQ(device->DriverObject, driver);
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_EQ(device->DeviceType, (DEVICE_TYPE)FILE_DEVICE_BUS_EXTENDER);
    EXPECT_EQ(device->Flags & DO_DEVICE_INITIALIZING, (ULONG)DO_DEVICE_INITIALIZING);
    EXPECT_EQ(device->AttachedDevice, nullptr);
    ASSERT_NE(device->DeviceExtension, nullptr);
    const unsigned char *ext = static_cast<const unsigned char *>(device->DeviceExtension);
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(ext[i], 0) << "extension byte " << i;
    EXPECT_EQ(standin::LiveDeviceCount(), 1u);
}

TEST_F(Devices, NewDevicesGoToTheHeadOfTheDriversList)
{
    PDRIVER_OBJECT driver = standin::CreateDriverObject("tolmu");
    PDEVICE_OBJECT a = MakeDevice(driver), b = MakeDevice(driver), c = MakeDevice(driver);
    EXPECT_EQ(driver->DeviceObject, c);
    EXPECT_EQ(c->NextDevice, b);
    EXPECT_EQ(b->NextDevice, a);
    EXPECT_EQ(a->NextDevice, nullptr);
    IoDeleteDevice(b);
    EXPECT_EQ(c->NextDevice, a) << "deleting unlinks from the middle";
    EXPECT_TRUE(standin::DeviceIsDeleted(b));
    EXPECT_EQ(standin::LiveDeviceCount(), 2u);
}

TEST_F(Devices, CreateDeviceFailureInjection)
{
    PDRIVER_OBJECT driver = standin::CreateDriverObject("tolmu");
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
    standin::SetCreateDeviceStatus(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(IoCreateDevice(driver, 8, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(driver->DeviceObject, nullptr);
}

TEST_F(Devices, AttachGoesOnTopOfTheStack)
{
    PDRIVER_OBJECT bus = standin::CreateDriverObject("pci");
    PDRIVER_OBJECT filter = standin::CreateDriverObject("tolmu");
    PDEVICE_OBJECT pdo = MakeDevice(bus);
    PDEVICE_OBJECT fdo = MakeDevice(bus);
    PDEVICE_OBJECT ours = MakeDevice(filter);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), pdo);
    // Naming the PDO still puts the new device on the top.
    EXPECT_EQ(IoAttachDeviceToDeviceStack(ours, pdo), fdo);
    EXPECT_EQ(pdo->AttachedDevice, fdo);
    EXPECT_EQ(fdo->AttachedDevice, ours);
    EXPECT_EQ(fdo->StackSize, 2);
    EXPECT_EQ(ours->StackSize, 3);
    EXPECT_EQ(standin::AttachedTo(ours), fdo);
    EXPECT_EQ(standin::StackBottom(ours), pdo);
}

TEST_F(Devices, AttachFailureInjection)
{
    PDRIVER_OBJECT driver = standin::CreateDriverObject("tolmu");
    PDEVICE_OBJECT pdo = MakeDevice(driver), fdo = MakeDevice(driver);
    standin::SetAttachFails(true);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), nullptr);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
}

TEST_F(Devices, DetachThenDeleteIsTheCleanRemoval)
{
    PDRIVER_OBJECT bus = standin::CreateDriverObject("pci");
    PDRIVER_OBJECT filter = standin::CreateDriverObject("tolmu");
    PDEVICE_OBJECT pdo = MakeDevice(bus);
    PDEVICE_OBJECT fdo = MakeDevice(filter, 64);
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    memset(fdo->DeviceExtension, 0x11, 64);
    IoDetachDevice(lower);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    EXPECT_EQ(standin::AttachedTo(fdo), nullptr);
    IoDeleteDevice(fdo);
    IoDeleteDevice(pdo);
    const unsigned char *ext = static_cast<const unsigned char *>(fdo->DeviceExtension);
    EXPECT_EQ(ext[0], standin::kPoisonByte) << "the deleted device's extension is poisoned";
    EXPECT_EQ(ext[63], standin::kPoisonByte);
    EXPECT_EQ(filter->DeviceObject, nullptr);
    EXPECT_EQ(standin::LiveDeviceCount(), 0u);
}

// Removal order on Windows: the upper driver passes the removal down first,
// so the lower device is deleted while the upper one is still attached; the
// upper one then detaches from the deleted device and deletes itself.
TEST_F(Devices, LowerDeviceMayGoFirstWhenTheUpperOneThenDetaches)
{
    PDRIVER_OBJECT filter = standin::CreateDriverObject("tolmu");
    PDRIVER_OBJECT function = standin::CreateDriverObject("rtl8139");
    PDEVICE_OBJECT pdo = MakeDevice(standin::CreateDriverObject("pci"));
    PDEVICE_OBJECT ours = MakeDevice(filter);
    PDEVICE_OBJECT fdo = MakeDevice(function);
    IoAttachDeviceToDeviceStack(ours, pdo);
    PDEVICE_OBJECT below = IoAttachDeviceToDeviceStack(fdo, pdo);
    EXPECT_EQ(below, ours);
    IoDetachDevice(pdo);
    IoDeleteDevice(ours);
    EXPECT_TRUE(standin::DeviceIsDeleted(ours));
    IoDetachDevice(below);
    IoDeleteDevice(fdo);
    EXPECT_EQ(ours->AttachedDevice, nullptr);
    EXPECT_EQ(standin::LiveDeviceCount(), 1u);
}

TEST_F(Devices, AttachedDeviceReferenceCountsUntilDropped)
{
    PDRIVER_OBJECT driver = standin::CreateDriverObject("tolmu");
    PDEVICE_OBJECT pdo = MakeDevice(driver), fdo = MakeDevice(driver);
    IoAttachDeviceToDeviceStack(fdo, pdo);
    PDEVICE_OBJECT top1 = IoGetAttachedDeviceReference(pdo);
    PDEVICE_OBJECT top2 = IoGetAttachedDeviceReference(fdo);
    EXPECT_EQ(top1, fdo);
    EXPECT_EQ(top2, fdo);
    EXPECT_EQ(standin::ObjectReferenceCount(fdo), 2);
    EXPECT_EQ(standin::ObjectReferenceCount(pdo), 0);
    ObDereferenceObject(top1);
    ObfDereferenceObject(top2);
    EXPECT_EQ(standin::ObjectReferenceCount(fdo), 0);
    ObReferenceObject(pdo);
    EXPECT_EQ(standin::ObjectReferenceCount(pdo), 1);
    ObDereferenceObject(pdo);
}

TEST_F(Devices, AttachedDeviceReferenceFailureInjection)
{
    PDEVICE_OBJECT pdo = MakeDevice(standin::CreateDriverObject("pci"));
    standin::SetAttachedDeviceReferenceFails(true);
    EXPECT_EQ(IoGetAttachedDeviceReference(pdo), nullptr);
    EXPECT_EQ(standin::ObjectReferenceCount(pdo), 0);
}

struct PropertyRow {
    const char *name;
    DEVICE_REGISTRY_PROPERTY property;
    ULONG bufferLength;
    NTSTATUS status;
    ULONG value;
    ULONG resultLength;
};

class Properties : public IoTest, public ::testing::WithParamInterface<PropertyRow> {};

TEST_P(Properties, ProviderOfThePdoAnswers)
{
    const PropertyRow &row = GetParam();
    PDEVICE_OBJECT pdo = MakeDevice(standin::CreateDriverObject("pci"));
    standin::SetDevicePropertyProvider(pdo, standin::DwordPropertyProvider([](DEVICE_REGISTRY_PROPERTY p, ULONG *v) {
                                           if (p == DevicePropertyBusNumber)
                                               *v = 3;
                                           else if (p == DevicePropertyAddress)
                                               *v = (5 << 16) | 1;
                                           else
                                               return false;
                                           return true;
                                       }));
    ULONG value = 0xFFFFFFFF, resultLength = 0;
    NTSTATUS status = IoGetDeviceProperty(pdo, row.property, row.bufferLength, &value, &resultLength);
    EXPECT_EQ(status, row.status) << row.name;
    EXPECT_EQ(value, row.value) << row.name;
    EXPECT_EQ(resultLength, row.resultLength) << row.name;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Properties,
    ::testing::Values(PropertyRow{"BusNumber", DevicePropertyBusNumber, 4, STATUS_SUCCESS, 3, 4},
                      PropertyRow{"Address", DevicePropertyAddress, 4, STATUS_SUCCESS, 0x50001, 4},
                      PropertyRow{"ShortBuffer", DevicePropertyBusNumber, 2, STATUS_BUFFER_TOO_SMALL, 0xFFFFFFFF, 4},
                      PropertyRow{"Unknown", DevicePropertyLegacyBusType, 4, STATUS_INVALID_PARAMETER, 0xFFFFFFFF,
                                  0}),
    [](const ::testing::TestParamInfo<PropertyRow> &info) { return std::string(info.param.name); });

TEST_F(Devices, PropertyOfADeviceWithoutProviderIsRejected)
{
    PDRIVER_OBJECT driver = standin::CreateDriverObject("tolmu");
    PDEVICE_OBJECT pdo = MakeDevice(driver), fdo = MakeDevice(driver);
    standin::SetDevicePropertyProvider(pdo, standin::DwordPropertyProvider([](DEVICE_REGISTRY_PROPERTY, ULONG *v) {
                                           *v = 7;
                                           return true;
                                       }));
    IoAttachDeviceToDeviceStack(fdo, pdo);
    ULONG value = 0, length = 0;
    EXPECT_EQ(IoGetDeviceProperty(fdo, DevicePropertyBusNumber, 4, &value, &length), STATUS_INVALID_DEVICE_REQUEST)
        << "only the PDO answers, not a device attached above it";
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyBusNumber, 4, &value, &length), STATUS_SUCCESS);
    EXPECT_EQ(value, 7u);
}

TEST_F(Devices, ResetForgetsDevicesAndDrivers)
{
    PDRIVER_OBJECT driver = standin::CreateDriverObject("tolmu");
    PDEVICE_OBJECT device = MakeDevice(driver);
    standin::Reset();
    EXPECT_FALSE(standin::IsKnownDevice(device));
    EXPECT_EQ(standin::LiveDeviceCount(), 0u);
}

} // namespace
