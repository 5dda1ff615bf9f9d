// Driver and device objects: creation, the driver's device list, stacks,
// detaching and deleting, references and device properties.
#include "iomgr_helpers.h"

using namespace iomgrtest;

namespace {

class Devices : public IoTest {};

TEST_F(Devices, NewDriverAndItsDevicesInitializingZeroedAndListedNewestFirst)
{
    PDRIVER_OBJECT driver = standin::CreateDriverObject("tolmu");
    ASSERT_NE(driver->DriverExtension, nullptr);
    EXPECT_EQ(driver->DriverExtension->DriverObject, driver);
    EXPECT_EQ(driver->DriverName.Length, 5 * sizeof(WCHAR));
    EXPECT_EQ(driver->DriverName.Buffer[0], u't');
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        EXPECT_EQ(driver->MajorFunction[i], standin::DefaultDispatch) << "major function " << i;
    EXPECT_EQ(driver->DeviceObject, nullptr);

    PDEVICE_OBJECT a = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 100, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &a), STATUS_SUCCESS);
    EXPECT_EQ(a->DriverObject, driver);
    EXPECT_EQ(a->StackSize, 1);
    EXPECT_EQ(a->DeviceType, (DEVICE_TYPE)FILE_DEVICE_BUS_EXTENDER);
    EXPECT_EQ(a->Flags & DO_DEVICE_INITIALIZING, (ULONG)DO_DEVICE_INITIALIZING);
    EXPECT_EQ(a->AttachedDevice, nullptr);
    ASSERT_NE(a->DeviceExtension, nullptr);
    EXPECT_EQ(std::string(static_cast<const char *>(a->DeviceExtension), 100), std::string(100, '\0'));

    PDEVICE_OBJECT b = MakeDevice(driver), c = MakeDevice(driver);
    EXPECT_EQ(driver->DeviceObject, c);
    EXPECT_EQ(c->NextDevice, b);
    EXPECT_EQ(b->NextDevice, a);
    EXPECT_EQ(a->NextDevice, nullptr);
    EXPECT_EQ(standin::LiveDeviceCount(), 3u);
    IoDeleteDevice(b);
    EXPECT_EQ(c->NextDevice, a) << "deleting unlinks from the middle";
    EXPECT_TRUE(standin::DeviceIsDeleted(b));
    EXPECT_EQ(standin::LiveDeviceCount(), 2u);
    standin::Reset(); // forgets devices and drivers
    EXPECT_FALSE(standin::IsKnownDevice(a));
    EXPECT_EQ(standin::LiveDeviceCount(), 0u);
}

TEST_F(Devices, FailureInjection)
{
    PDRIVER_OBJECT driver = standin::CreateDriverObject("tolmu");
    PDEVICE_OBJECT pdo = MakeDevice(driver), fdo = MakeDevice(driver);
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
    standin::SetCreateDeviceStatus(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(IoCreateDevice(driver, 8, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(driver->DeviceObject, fdo);
    standin::SetAttachFails(true);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), nullptr);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    standin::SetAttachedDeviceReferenceFails(true);
    EXPECT_EQ(IoGetAttachedDeviceReference(pdo), nullptr);
    EXPECT_EQ(standin::ObjectReferenceCount(pdo), 0);
}

TEST_F(Devices, AttachOnTopDetachDeleteAndReferences)
{
    PDRIVER_OBJECT bus = standin::CreateDriverObject("pci");
    PDRIVER_OBJECT filter = standin::CreateDriverObject("tolmu");
    PDEVICE_OBJECT pdo = MakeDevice(bus), fdo = MakeDevice(bus), ours = MakeDevice(filter, 64);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), pdo);
    // Naming the PDO still puts the new device on the top.
    EXPECT_EQ(IoAttachDeviceToDeviceStack(ours, pdo), fdo);
    EXPECT_EQ(pdo->AttachedDevice, fdo);
    EXPECT_EQ(fdo->AttachedDevice, ours);
    EXPECT_EQ(fdo->StackSize, 2);
    EXPECT_EQ(ours->StackSize, 3);
    EXPECT_EQ(standin::AttachedTo(ours), fdo);
    EXPECT_EQ(standin::StackBottom(ours), pdo);

    PDEVICE_OBJECT top1 = IoGetAttachedDeviceReference(pdo), top2 = IoGetAttachedDeviceReference(fdo);
    EXPECT_EQ(top1, ours);
    EXPECT_EQ(top2, ours);
    EXPECT_EQ(standin::ObjectReferenceCount(ours), 2);
    EXPECT_EQ(standin::ObjectReferenceCount(pdo), 0);
    ObDereferenceObject(top1);
    ObfDereferenceObject(top2);
    EXPECT_EQ(standin::ObjectReferenceCount(ours), 0);
    ObReferenceObject(pdo);
    EXPECT_EQ(standin::ObjectReferenceCount(pdo), 1);
    ObDereferenceObject(pdo);

    memset(ours->DeviceExtension, 0x11, 64);
    IoDetachDevice(fdo);
    EXPECT_EQ(fdo->AttachedDevice, nullptr);
    EXPECT_EQ(standin::AttachedTo(ours), nullptr);
    IoDeleteDevice(ours);
    const unsigned char *ext = static_cast<const unsigned char *>(ours->DeviceExtension);
    EXPECT_EQ(ext[0], standin::kPoisonByte) << "the deleted device's extension is poisoned";
    EXPECT_EQ(ext[63], standin::kPoisonByte);
    EXPECT_EQ(filter->DeviceObject, nullptr);
    IoDetachDevice(pdo);
    IoDeleteDevice(fdo);
    IoDeleteDevice(pdo);
    EXPECT_EQ(standin::LiveDeviceCount(), 0u);
}

// Removal order on Windows: the upper driver passes the removal down first,
// so the lower device is deleted while the upper one is still attached; the
// upper one then detaches from the deleted device and deletes itself.
TEST_F(Devices, LowerDeviceMayGoFirstWhenTheUpperOneThenDetaches)
{
    PDEVICE_OBJECT pdo = MakeDevice(standin::CreateDriverObject("pci"));
    PDEVICE_OBJECT ours = MakeDevice(standin::CreateDriverObject("tolmu"));
    PDEVICE_OBJECT fdo = MakeDevice(standin::CreateDriverObject("rtl8139"));
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

TEST_F(Devices, PropertiesAnsweredByTheProviderOfThePdoOnly)
{
    PDRIVER_OBJECT driver = standin::CreateDriverObject("pci");
    PDEVICE_OBJECT pdo = MakeDevice(driver), fdo = MakeDevice(driver);
    auto provider = [](DEVICE_REGISTRY_PROPERTY p, ULONG *v) {
        bool known = p == DevicePropertyBusNumber || p == DevicePropertyAddress;
        if (known)
            *v = p == DevicePropertyBusNumber ? 3 : (5 << 16) | 1;
        return known;
    };
    standin::SetDevicePropertyProvider(pdo, standin::DwordPropertyProvider(provider));
    IoAttachDeviceToDeviceStack(fdo, pdo);
    struct Row {
        const char *name;
        PDEVICE_OBJECT device;
        DEVICE_REGISTRY_PROPERTY property;
        ULONG bufferLength;
        NTSTATUS status;
        ULONG value, resultLength;
    };
    const Row rows[] = {
        {"BusNumber", pdo, DevicePropertyBusNumber, 4, STATUS_SUCCESS, 3, 4},
        {"Address", pdo, DevicePropertyAddress, 4, STATUS_SUCCESS, 0x50001, 4},
        {"ShortBuffer", pdo, DevicePropertyBusNumber, 2, STATUS_BUFFER_TOO_SMALL, 0xFFFFFFFF, 4},
        {"Unknown", pdo, DevicePropertyLegacyBusType, 4, STATUS_INVALID_PARAMETER, 0xFFFFFFFF, 0},
        {"AttachedAbove", fdo, DevicePropertyBusNumber, 4, STATUS_INVALID_DEVICE_REQUEST, 0xFFFFFFFF, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ULONG value = 0xFFFFFFFF, resultLength = 0;
        EXPECT_EQ(IoGetDeviceProperty(row.device, row.property, row.bufferLength, &value, &resultLength), row.status);
        EXPECT_EQ(value, row.value);
        EXPECT_EQ(resultLength, row.resultLength);
    }
}

} // namespace
