// ImageJ's side of the TIFF tests: opens each file with ImageJ's own opener
// (as File > Open does) and prints one line per file: slices, size, bit
// depth, the calibration (pixel width, height, depth, unit) and the values
// ImageJ shows (calibrated: signed 16-bit values are stored shifted) of the
// first voxel of the first slice and the last voxel of the last.
import ij.ImagePlus;
import ij.io.Opener;
import ij.measure.Calibration;
import ij.process.ImageProcessor;

public class ImageJRead {
    public static void main(String[] args) {
        for (String path : args) {
            ImagePlus imp = new Opener().openImage(path);
            if (imp == null) {
                System.out.println("not opened");
                continue;
            }
            Calibration c = imp.getCalibration();
            int w = imp.getWidth(), h = imp.getHeight(), n = imp.getStackSize();
            ImageProcessor first = imp.getStack().getProcessor(1), last = imp.getStack().getProcessor(n);
            System.out.println("slices=" + n + " size=" + w + "x" + h + " bits=" + imp.getBitDepth()
                + " spacing=" + c.pixelWidth + "," + c.pixelHeight + "," + c.pixelDepth + " unit=" + c.getUnit()
                + " first=" + first.getPixelValue(0, 0) + " last=" + last.getPixelValue(w - 1, h - 1));
        }
    }
}
